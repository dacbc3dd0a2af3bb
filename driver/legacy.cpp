// The exported helpers of zunra_sat_legacy.h: each a thin wrapper over the
// room that does the work. The library itself never calls these names.
// Those that wait or touch files hold thread cancellation off, as the SAT
// functions do.
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver_log.h"
#include "exchange.h"
#include "no_cancel.h"
#include "settings.h"
#include "settings_file.h"

using zunra::text_or_empty;

namespace {

// Loading the settings takes a mutex, which could throw: nothing escapes to
// the C caller, who gets the failure answer instead.
template <class Body>
int guarded(Body body) noexcept {
  const zunra::NoCancel no_cancel;
  try {
    return body();
  } catch (...) {
    return -1;
  }
}

}  // namespace

extern "C" {

void cbInit(int size) {
  zunra::reset_reply(size);
}

int EnviaParaSat(char* frame) {
  return guarded(
      [&] { return zunra::send_phase(text_or_empty(frame), zunra::deadline_of_tempo()) ? 0 : -1; });
}

int RecebeDoSat2(int session) {
  const zunra::NoCancel no_cancel;
  return zunra::receive_phase(zunra::ReplyFilter::session(session), zunra::deadline_of_tempo()) ? 0 : -1;
}

int RecebeDoSat3(void) {
  const zunra::NoCancel no_cancel;
  return zunra::receive_phase(zunra::ReplyFilter::any(), zunra::deadline_of_tempo()) ? 0 : -1;
}

int lock(void) {
  const zunra::NoCancel no_cancel;
  return zunra::try_lock();
}

int unlock(void) {
  zunra::release_lock();
  return 0;
}

int tick(void) {
  return zunra::wall_seconds();
}

int mili_tick(void) {
  timeval now;
  ::gettimeofday(&now, nullptr);
  const std::int64_t ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
  return static_cast<int>(static_cast<std::uint32_t>(ms));
}

const char* timestamp(void) {
  return zunra::log_timestamp();
}

int EnviaLog(const char* message, const char* detail) {
  const zunra::NoCancel no_cancel;
  return zunra::append_log_line(message, detail);
}

char* IntToStr(int value, int len) {
  const std::size_t size = len > 0 ? static_cast<std::size_t>(len) + 1 : 1;
  char* text = static_cast<char*>(std::malloc(size));
  if (text) std::snprintf(text, size, "%06d", value);
  return text;
}

int init_usb(char* path, int /*mode*/) {
  return guarded(
      [&] { return zunra::open_device(text_or_empty(path), zunra::deadline_of_tempo()) ? 0 : -1; });
}

int envia_usb(char* frame) {
  const zunra::NoCancel no_cancel;
  return zunra::send_on_device(text_or_empty(frame), zunra::deadline_of_tempo()) ? 0 : -1;
}

int le_usb(void) {
  const zunra::NoCancel no_cancel;
  return zunra::read_step_into_reply(zunra::deadline_of_tempo());
}

int init_lib(void) {
  const zunra::NoCancel no_cancel;
  try {
    zunra::reload_settings();
  } catch (...) {
  }
  return 0;
}

int valida_TOUT(const char* text) {
  return zunra::validate_timeout(text) ? 1 : 0;
}

int file_existe(const char* path) {
  const zunra::NoCancel no_cancel;
  return zunra::readable_file(path) ? 1 : 0;
}
}
