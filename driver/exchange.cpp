#include "exchange.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "driver_log.h"
#include "serial_link.h"
#include "settings.h"
#include "settings_file.h"

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

// The unit's device lock: the running SAT call's on this thread; outside a
// call (exchanges run by hand through the exported phases) one held from
// the open to the close of each exchange.
thread_local DeviceLock* t_call_unit_lock = nullptr;
DeviceLock g_exchange_unit_lock;

DeviceLock& unit_lock() {
  return t_call_unit_lock ? *t_call_unit_lock : g_exchange_unit_lock;
}

void close_device() {
  g_device.close();
  if (!t_call_unit_lock) g_exchange_unit_lock.release();
}

// A child forked while another thread is inside a SAT call: the call lock
// and the device belong to a thread the child does not have. The device's
// descriptor is dropped without a flush, which would throw away the
// parent's frame on the shared line.
void forget_parent_call() {
  release_lock();
  const int fd = g_device.release();
  if (fd >= 0) ::close(fd);
  g_exchange_unit_lock.forget();
}

// Takes the unit's lock for the device `named` before it is opened, so that
// a caller waiting for another program does not even hold the line. A call
// that cannot have it says why on standard error, once per process.
bool lock_unit(const struct stat& named, const char* path, const Deadline& deadline) {
  DeviceLock& lock = unit_lock();
  switch (lock.acquire(named, deadline)) {
    case DeviceLock::Outcome::held:
      return true;
    case DeviceLock::Outcome::busy: {
      counters::failed(counters::Outcome::held_by_another_process, lock.holder());
      static std::atomic<pid_t> said_by{0};
      char detail[96];
      if (lock.holder() > 0)
        std::snprintf(detail, sizeof detail, "%s (PID %d)", path, lock.holder());
      else
        std::snprintf(detail, sizeof detail, "%s", path);
      debug_log("Dispositivo em uso por outro processo: ", detail);
      say_once(said_by, "Dispositivo em uso por outro processo: ", detail);
      return false;
    }
    case DeviceLock::Outcome::no_lock_file: {
      static std::atomic<pid_t> said_by{0};
      counters::failed(counters::Outcome::lock_file_unavailable);
      debug_log("Arquivo de trava do dispositivo indisponivel: ", lock.problem().c_str());
      say_once(said_by, "Arquivo de trava do dispositivo indisponivel: ", lock.problem().c_str());
      return false;
    }
  }
  return false;
}

// The last deadline set_deadline made and the Tempo_Tout it mirrors, for
// the exported phases that take no deadline.
Deadline g_deadline;
int g_deadline_tempo = 0;
std::int64_t g_deadline_seconds = 0;  // of its timeout pair, for the record of a fallback

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
  counters::received(step.bytes);
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

ReplyFilter::ReplyFilter(int first, int second) : any_(false) {
  std::snprintf(first_, sizeof first_, "%06d", first);
  std::snprintf(second_, sizeof second_, "%06d", second);
}

bool ReplyFilter::takes(const char* reply) const {
  const char* digits = reply + (reply[0] == '-');
  const char* end = digits;
  while (*end >= '0' && *end <= '9') ++end;
  if (end == digits || *end != '|') return false;
  if (any_) return true;
  const std::string_view field(reply, static_cast<std::size_t>(end - reply));
  return field == first_ || field == second_;
}

Deadline set_deadline(const int pair[2]) {
  const std::int64_t seconds = static_cast<std::int64_t>(pair[0]) * 60 + pair[1];
  Tempo_Tout = static_cast<int>(wall_seconds() + seconds);
  g_deadline_tempo = Tempo_Tout;
  g_deadline_seconds = seconds;
  g_deadline = Deadline::in_ms(seconds * deadline_second_ms);
  counters::allowed_ms(seconds * deadline_second_ms);
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

// Why the last open of the device failed, for the log: errno of the stat or
// the open; 0 when something else (not a terminal, the lock) said why.
int g_open_error = 0;

bool open_device(const char* path, const Deadline& deadline) {
  ensure_settings_loaded();
  g_open_error = 0;
  // An earlier descriptor still open is closed here rather than leaked.
  g_device.close();
  fdUSB = -1;
  struct stat named;
  const char* refused = nullptr;
  if (::stat(path, &named) == 0) {
    if (!S_ISCHR(named.st_mode))
      refused = "Dispositivo nao e um terminal: ";
    else if (!lock_unit(named, path, deadline))
      return false;
    else
      g_device = open_link(path, named, refused);
  }
  const int error = errno;  // of the stat or the open that failed
  if (refused) debug_log(refused, path);
  if (!g_device.is_open()) {
    if (!refused) g_open_error = error;
    counters::failed(refused                             ? counters::Outcome::not_a_terminal
                     : error == EACCES || error == EPERM ? counters::Outcome::permission_denied
                                                         : counters::Outcome::no_device);
    close_device();
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
  if (!open_device(path.text, deadline)) {
    console("EnviaParaSat: Falha ao configurar a interface %s\n", path.text);
    debug_log("Falha ao configurar a interface ", path.text);
    if (g_open_error) debug_log("Motivo da falha: ", std::strerror(g_open_error));
    return false;
  }
  if (!send_frame(g_device, frame, deadline)) {
    counters::failed(deadline.passed() ? counters::Outcome::send_timed_out : counters::Outcome::hang_up);
    console("EnviaparaSat: (TX) Perda de comunicação com o SAT.\n");
    debug_log("(TX) ", "Perda de comunicação com o SAT");
    close_device();
    return false;
  }
  counters::sent(std::strlen(frame) + 2);
  debug_log("EnviarParaSat: final do envio.", " ");
  return true;
}

bool receive_phase(ReplyFilter filter, const Deadline& deadline) {
  debug_log("RecebeDoSat: inicio da recepção", " ...");
  reset_reply(sizeof BC.data);
  bool complete = false;
  bool lost = false;
  bool overflow = false;
  while (!complete && !deadline.passed()) {
    if (!still_a_terminal(g_device)) {
      lost = true;
      break;
    }
    const ReadStep step = read_into_reply(deadline);
    // Loop: after a dropped reply the rest of the read may hold the next one.
    while (BC.count > 0 && BC.data[BC.count - 1] == kTerminator) {
      BC.data[BC.count - 1] = '\0';
      if (filter.takes(BC.data)) {
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
    if ((overflow = step.overflow)) break;  // can never complete; the fallback answers
  }
  if (complete) {
    counters::reply_taken();
  } else {
    counters::failed(lost       ? counters::Outcome::hang_up
                     : overflow ? counters::Outcome::reply_too_large
                                : counters::Outcome::no_reply,
                     g_deadline_seconds);
    console(lost ? "RecebeDoSat: Erro ao receber dados do SAT(1)\n"
                 : "RecebeDoSat: Erro ao receber dados do SAT(2)\n");
    debug_log("Erro ao receber dados do SAT", " ");
    BC.data[0] = '\0';
  }
  debug_log("RecebeDoSat: final da recepção.", " ");
  close_device();
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

CallLock::CallLock() : outer_(t_call_unit_lock) {
  prepare_for_fork(&forget_parent_call);
  ensure_settings_loaded();
  while (try_lock() == 1) pause_ms(kLockStepMs);
  t_call_unit_lock = &unit_;
}

CallLock::~CallLock() {
  t_call_unit_lock = outer_;
  unit_.release();
  release_lock();
}

FrameBuffer::FrameBuffer() : data_(new (std::nothrow) char[kFrameCapacity]) {
  if (data_) data_[0] = '\0';
}

FrameBuffer::~FrameBuffer() {
  delete[] data_;
}

bool FrameBuffer::format(const char* format, ...) {
  if (!data_) {
    counters::failed(counters::Outcome::frame_refused);
    return false;
  }
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(data_, kFrameCapacity, format, args);
  va_end(args);
  if (n < 0 || static_cast<std::size_t>(n) >= kFrameCapacity) {
    counters::failed(counters::Outcome::frame_refused);
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
  counters::fallback_written();
  format_fallback(BC.data, sizeof BC.data, session, failure_code, with_0000);
}

void format_fallback(char* to, std::size_t size, int session, const char* failure_code, bool with_0000) {
  const char* code = text_or_empty(failure_code);
  char barred[16];
  if (code[0] != '|') {  // accept the bare code as well as "|04098|"
    std::snprintf(barred, sizeof barred, "|%.5s|", code);
    code = barred;
  }
  std::snprintf(to, size, "%06d%s%s%s%s", session, code, with_0000 ? "0000|" : "", kBusyMessage, "||");
}

bool refuses_arguments(std::initializer_list<const char*> texts) {
  for (const char* text : texts) {
    if (text && std::strchr(text, kTerminator)) {
      counters::failed(counters::Outcome::frame_refused);
      debug_log("Argumento com caractere de fim de comando", " ");
      return true;
    }
  }
  return false;
}

std::string_view reply_code() {
  const char* bar = std::strchr(BC.data, '|');
  if (!bar) return {};
  return std::string_view(bar + 1, strnlen(bar + 1, 5));
}

}  // namespace zunra
