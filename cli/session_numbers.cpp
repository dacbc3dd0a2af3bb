#include "session_numbers.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace zunra::cli {

int n100Sessoes[100];
int idx_100sessoes;

namespace {

int real_draw() {
  srand(static_cast<unsigned>(time(nullptr)));
  return rand();
}

// A draw refused by the history comes back unchanged until the clock's second
// changes, so sleep to the next second instead of spinning on it.
void real_next_second() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  timespec rest{0, 1000000000L - now.tv_nsec};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

SessionRandomSource current{real_draw, real_next_second};

}  // namespace

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
