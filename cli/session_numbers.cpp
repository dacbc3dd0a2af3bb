#include "session_numbers.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace zunra::cli {

int n100Sessoes[100];
int idx_100sessoes;

namespace {

uint64_t mixed(uint64_t x) {  // splitmix64's finaliser: every input bit moves every output bit
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// What sets this run apart from another one started in the same second: the
// kernel's random bytes or, should they be unavailable, the process id and
// the monotonic clock's nanoseconds. Two tills re-keying a sale within one
// second must not share a session number.
uint64_t run_salt() {
  uint64_t salt = 0;
  if (getrandom(&salt, sizeof salt, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof salt)) return salt;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return mixed(static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(now.tv_sec) * 1000000000ULL ^
               static_cast<uint64_t>(now.tv_nsec));
}

time_t drawn_second = 0;

// Draws change with the second of time(), as they always have, but from a
// seed of this run's own.
int real_draw() {
  static const uint64_t salt = run_salt();
  drawn_second = time(nullptr);
  srand(static_cast<unsigned>(mixed(salt ^ static_cast<uint64_t>(drawn_second))));
  return rand();
}

void real_next_second() {
  wait_for_next_second(drawn_second, time);
}

SessionRandomSource current{real_draw, real_next_second};

}  // namespace

void wait_for_next_second(time_t drawn, time_t (*clock)(time_t*)) {
  // time() reads the kernel's coarse clock, which can trail CLOCK_REALTIME
  // by a tick: sleep to the coarse clock's next second, then in 1 ms steps
  // until time() itself shows it. Never longer than 2 s.
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (clock(nullptr) == drawn) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) >= 2000000000L) return;
    timespec coarse{};
    clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
    long step = coarse.tv_sec == drawn ? 1000000000L - coarse.tv_nsec : 0;
    if (step < 1000000L) step = 1000000L;
    timespec rest{0, step};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
  }
}

void clear_session_history() {
  for (int& entry : n100Sessoes) entry = 0;
  idx_100sessoes = 0;
}

void set_session_random_source(const SessionRandomSource& source) {
  current = source;
}
void use_real_session_random_source() {
  current = {real_draw, real_next_second};
}

int _100sessao() {
  int value = current.draw();
  if (value > 999999) value %= 1000000;
  return value;
}

int Valida100Sessoes(int candidate) {
  for (int i = 0; i <= idx_100sessoes; ++i) {
    if (n100Sessoes[i] == candidate) return 0;
  }
  return 1;
}

int Salva100Sessoes(int number) {
  idx_100sessoes = idx_100sessoes == 99 ? 0 : idx_100sessoes + 1;
  n100Sessoes[idx_100sessoes] = number;
  return 1;
}

int _sessao() {
  int candidate = _100sessao();
  while (Valida100Sessoes(candidate) == 0) {
    current.next_second();
    candidate = _100sessao();
  }
  Salva100Sessoes(candidate);
  return candidate;
}

}  // namespace zunra::cli
