#include "exchange.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "serial_link.h"
#include "settings.h"

extern "C" {
SatReplyBuffer BC;
int Tempo_Tout;
int lib_lock;
}

namespace zunra {

int deadline_second_ms = 1000;

namespace {

constexpr char kTerminator = 0x03;
constexpr int kLockStepMs = 100;

Deadline g_deadline;
int g_deadline_tempo = 0;  // the Tempo_Tout that g_deadline was made for

// Session number at the head of a reply: its first six characters read as
// atoi does, so that letters or zeros give 0 and 1000000 never matches.
int reply_session() {
  char head[7] = {};
  std::memcpy(head, BC.data, strnlen(BC.data, 6));
  return std::atoi(head);
}

void link_lost_message() {
  console("RecebeDoSat: Erro ao receber dados do SAT(1)\n");
  debug_log("Erro ao receber dados do SAT", " ");
}

// Drops a reply of another session. Bytes after its terminator are the
// start of the next reply and are kept.
void drop_first_reply() {
  const char* end = static_cast<const char*>(std::memchr(BC.data, kTerminator, BC.count));
  const int keep = end ? BC.count - static_cast<int>(end + 1 - BC.data) : 0;
  if (keep > 0) std::memmove(BC.data, end + 1, keep);
  BC.count = keep;
  BC.data[keep] = '\0';
}

// The receive phase: a reply carrying `session` or `also` (when given)
// completes it, any other is dropped; without a session any reply does.
int receive(const int* session, const int* also = nullptr) {
  debug_log("RecebeDoSat: inicio da recepção", " ...");
  cbInit(sizeof BC.data);
  const Deadline deadline = exchange_deadline();
  bool complete = false;
  bool lost = false;
  while (!complete && !deadline.passed()) {
    if (!device().is_open() || !::isatty(device().fd()) || link_state().lost) {
      lost = true;
      break;
    }
    read_step(deadline);
    // Loop: after a dropped reply the rest of the read may hold the next one.
    while (BC.count > 0 && BC.data[BC.count - 1] == kTerminator) {
      BC.data[BC.count - 1] = '\0';
      if (!session || reply_session() == *session || (also && reply_session() == *also)) {
        complete = true;
        break;
      }
      BC.data[BC.count - 1] = kTerminator;
      debug_log("   .........   .........", " ");
      drop_first_reply();
    }
    if (complete) break;
    if (link_state().lost) {  // hang-up or read error: do not spin until the deadline
      lost = true;
      break;
    }
    if (link_state().overflow) break;  // can never complete; the fallback answers
  }
  if (!complete) {
    if (lost) {
      link_lost_message();
    } else {
      console("RecebeDoSat: Erro ao receber dados do SAT(2)\n");
      debug_log("Erro ao receber dados do SAT", " ");
    }
    BC.data[0] = '\0';
  }
  debug_log("RecebeDoSat: final da recepção.", " ");
  close_device();
  return complete ? 0 : -1;
}

}  // namespace

int receive_either(int session, int asked) {
  return receive(&session, &asked);
}

void console(const char* format, ...) {
  if (!console_enabled()) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void debug_log(const char* message, const char* detail) {
  if (setting(ModoDebug)) EnviaLog(message, detail);
}

void set_deadline(const int pair[2]) {
  const std::int64_t seconds = static_cast<std::int64_t>(pair[0]) * 60 + pair[1];
  Tempo_Tout = static_cast<int>(tick() + seconds);
  g_deadline_tempo = Tempo_Tout;
  g_deadline = Deadline::in_ms(seconds * deadline_second_ms);
}

Deadline exchange_deadline() {
  if (Tempo_Tout != g_deadline_tempo) {
    g_deadline_tempo = Tempo_Tout;
    g_deadline = Deadline::in_ms((static_cast<std::int64_t>(Tempo_Tout) - tick()) * deadline_second_ms);
  }
  return g_deadline;
}

CallLock::CallLock() {
  ensure_settings_loaded();
  while (lock() == 1) pause_ms(kLockStepMs);
}

CallLock::~CallLock() {
  unlock();
}

FrameBuffer::FrameBuffer() : data_(new (std::nothrow) char[kFrameCapacity]) {
  if (data_) data_[0] = '\0';
}

FrameBuffer::~FrameBuffer() {
  delete[] data_;
}

bool FrameBuffer::format(const char* format, ...) {
  if (!data_) return false;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(data_, kFrameCapacity, format, args);
  va_end(args);
  if (n < 0 || static_cast<std::size_t>(n) >= kFrameCapacity) {
    data_[0] = '\0';  // a cut frame is never sent
    return false;
  }
  return true;
}

const char* FrameBuffer::after_code() const {
  if (!data_) return "";
  return std::strlen(data_) > 4 ? data_ + 4 : "";
}

void write_fallback(int session, const char* failure_code, bool with_0000) {
  const char* code = text_or_empty(failure_code);
  char barred[16];
  if (code[0] != '|') {  // accept the bare code as well as "|04098|"
    std::snprintf(barred, sizeof barred, "|%.5s|", code);
    code = barred;
  }
  std::snprintf(BC.data, sizeof BC.data, "%06d%s%s%s%s", session, code, with_0000 ? "0000|" : "",
                kBusyMessage, "||");
}

std::string_view reply_code() {
  const char* bar = std::strchr(BC.data, '|');
  if (!bar) return {};
  return std::string_view(bar + 1, strnlen(bar + 1, 5));
}

}  // namespace zunra

using namespace zunra;

extern "C" {

void cbInit(int size) {
  BC.size = size;
  BC.count = 0;
  BC.spare[0] = BC.spare[1] = BC.spare[2] = 0;
  BC.data[0] = '\0';
}

int EnviaParaSat(char* frame) {
  ensure_settings_loaded();
  DevicePath path = serial_path();  // SetDriver may change SAT_SERIAL meanwhile
  debug_log("EnviarParaSat: inicio do envio", " ...");
  debug_log("Abrindo comunicacao com: ", path.text);
  if (init_usb(path.text, 0) != 0) {
    console("EnviaParaSat: Falha ao configurar a interface %s\n", path.text);
    debug_log("Falha ao configurar a interface ", path.text);
    return -1;
  }
  if (!send_frame(text_or_empty(frame), exchange_deadline())) {
    console("EnviaparaSat: (TX) Perda de comunicação com o SAT.\n");
    debug_log("(TX) ", "Perda de comunicação com o SAT");
    close_device();
    return -1;
  }
  debug_log("EnviarParaSat: final do envio.", " ");
  return 0;
}

int RecebeDoSat2(int session) {
  return receive(&session);
}

int RecebeDoSat3(void) {
  return receive(nullptr);
}

int lock(void) {
  if (!setting(ModoLock)) {
    __atomic_store_n(&lib_lock, 0, __ATOMIC_RELEASE);
    return 0;
  }
  int expected = 0;
  if (!__atomic_compare_exchange_n(&lib_lock, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    return 1;
  pause_ms(kLockStepMs);
  return 0;
}

int unlock(void) {
  __atomic_store_n(&lib_lock, 0, __ATOMIC_RELEASE);
  return 0;
}

int tick(void) {
  return static_cast<int>(std::time(nullptr));
}

int mili_tick(void) {
  timeval now;
  ::gettimeofday(&now, nullptr);
  const std::int64_t ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
  return static_cast<int>(static_cast<std::uint32_t>(ms));
}

const char* timestamp(void) {
  static char text[26];
  const std::time_t now = std::time(nullptr);
  std::tm local;
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local) == 0)
    text[0] = '\0';
  return text;
}

int EnviaLog(const char* message, const char* detail) {
  try {
    const std::string path = driver_log_path();
    std::FILE* log = std::fopen(path.c_str(), "a");
    if (!log) log = std::fopen(path.c_str(), "w");
    if (!log) {
      console("EnviaLog: Erro ao abrir o arquivo de logs!\n");
      return -1;
    }
    std::fprintf(log, "%s%s%s%s\n", timestamp(), ": ", text_or_empty(message), text_or_empty(detail));
    std::fclose(log);
    return 0;
  } catch (...) {
    return -1;
  }
}

char* IntToStr(int value, int len) {
  const std::size_t size = len > 0 ? static_cast<std::size_t>(len) + 1 : 1;
  char* text = static_cast<char*>(std::malloc(size));
  if (text) std::snprintf(text, size, "%06d", value);
  return text;
}
}
