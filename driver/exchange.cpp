#include "exchange.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "driver_log.h"
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

constexpr int kLockStepMs = 100;

// The device of the running exchange: opened by the send phase, closed by
// the receive phase (or the send phase when writing fails).
SerialDevice g_device;

// The last deadline set_deadline made and the Tempo_Tout it mirrors, for
// the exported phases that take no deadline.
Deadline g_deadline;
int g_deadline_tempo = 0;

// Session number at the head of a reply: its first six characters read as
// atoi does, so that letters or zeros give 0 and 1000000 never matches.
int reply_session() {
  char head[7] = {};
  std::memcpy(head, BC.data, strnlen(BC.data, 6));
  return std::atoi(head);
}

// The bytes of BC a read step may fill, keeping one byte for the NUL.
ByteSpan reply_room() {
  const std::size_t capacity =
      (BC.size > 0 && static_cast<std::size_t>(BC.size) <= kReplyCapacity) ? BC.size : kReplyCapacity;
  if (BC.count < 0) BC.count = 0;
  if (static_cast<std::size_t>(BC.count) >= capacity) BC.count = static_cast<int>(capacity - 1);
  const std::size_t used = static_cast<std::size_t>(BC.count);
  return {BC.data + used, used + 1 < capacity ? capacity - 1 - used : 0};
}

// One read step appended to the reply in BC.
ReadStep read_into_reply(const Deadline& deadline) {
  const ReadStep step = read_step(g_device, reply_room(), deadline);
  BC.count += static_cast<int>(step.bytes);
  BC.data[BC.count] = '\0';
  return step;
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

}  // namespace

Deadline set_deadline(const int pair[2]) {
  const std::int64_t seconds = static_cast<std::int64_t>(pair[0]) * 60 + pair[1];
  Tempo_Tout = static_cast<int>(wall_seconds() + seconds);
  g_deadline_tempo = Tempo_Tout;
  g_deadline = Deadline::in_ms(seconds * deadline_second_ms);
  return g_deadline;
}

Deadline deadline_of_tempo() {
  if (Tempo_Tout != g_deadline_tempo) {
    g_deadline_tempo = Tempo_Tout;
    g_deadline =
        Deadline::in_ms((static_cast<std::int64_t>(Tempo_Tout) - wall_seconds()) * deadline_second_ms);
  }
  return g_deadline;
}

bool open_device(const char* path) {
  ensure_settings_loaded();
  // An earlier descriptor still open is closed here rather than leaked.
  g_device = open_link(path);
  if (!g_device.is_open()) {
    console("init_usb: Falha ao tentar abrir o dispositivo %s\n", serial_path().text);
    return false;
  }
  return true;
}

bool send_on_device(const char* frame, const Deadline& deadline) {
  return send_frame(g_device, frame, deadline);
}

int read_step_into_reply(const Deadline& deadline) {
  return read_into_reply(deadline).pending;
}

bool send_phase(const char* frame, const Deadline& deadline) {
  ensure_settings_loaded();
  DevicePath path = serial_path();  // SetDriver may change SAT_SERIAL meanwhile
  debug_log("EnviarParaSat: inicio do envio", " ...");
  debug_log("Abrindo comunicacao com: ", path.text);
  if (!open_device(path.text)) {
    console("EnviaParaSat: Falha ao configurar a interface %s\n", path.text);
    debug_log("Falha ao configurar a interface ", path.text);
    return false;
  }
  if (!send_frame(g_device, frame, deadline)) {
    console("EnviaparaSat: (TX) Perda de comunicação com o SAT.\n");
    debug_log("(TX) ", "Perda de comunicação com o SAT");
    g_device.close();
    return false;
  }
  debug_log("EnviarParaSat: final do envio.", " ");
  return true;
}

bool receive_phase(ReplyFilter filter, const Deadline& deadline) {
  debug_log("RecebeDoSat: inicio da recepção", " ...");
  reset_reply(sizeof BC.data);
  bool complete = false;
  bool lost = false;
  while (!complete && !deadline.passed()) {
    if (!still_a_terminal(g_device)) {
      lost = true;
      break;
    }
    const ReadStep step = read_into_reply(deadline);
    // Loop: after a dropped reply the rest of the read may hold the next one.
    while (BC.count > 0 && BC.data[BC.count - 1] == kTerminator) {
      BC.data[BC.count - 1] = '\0';
      if (filter.takes(reply_session())) {
        complete = true;
        break;
      }
      BC.data[BC.count - 1] = kTerminator;
      debug_log("   .........   .........", " ");
      drop_first_reply();
    }
    if (complete) break;
    if (step.hung_up) {  // hang-up or read error: do not spin until the deadline
      lost = true;
      break;
    }
    if (step.overflow) break;  // can never complete; the fallback answers
  }
  if (!complete) {
    console(lost ? "RecebeDoSat: Erro ao receber dados do SAT(1)\n"
                 : "RecebeDoSat: Erro ao receber dados do SAT(2)\n");
    debug_log("Erro ao receber dados do SAT", " ");
    BC.data[0] = '\0';
  }
  debug_log("RecebeDoSat: final da recepção.", " ");
  g_device.close();
  return complete;
}

void reset_reply(int size) {
  BC.size = size;
  BC.count = 0;
  BC.spare[0] = BC.spare[1] = BC.spare[2] = 0;
  BC.data[0] = '\0';
}

int try_lock() {
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

void release_lock() {
  __atomic_store_n(&lib_lock, 0, __ATOMIC_RELEASE);
}

int wall_seconds() {
  return static_cast<int>(std::time(nullptr));
}

CallLock::CallLock() {
  ensure_settings_loaded();
  while (try_lock() == 1) pause_ms(kLockStepMs);
}

CallLock::~CallLock() {
  release_lock();
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
