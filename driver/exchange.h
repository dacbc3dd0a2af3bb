// The command exchange: the reply buffer BC, the call lock, the deadline of
// each exchange, the send and receive phases and the fallback replies.
// Every SAT function is built from these pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "caller_reply.h"
#include "counters.h"
#include "device_lock.h"
#include "no_cancel.h"
#include "wait.h"
#include "zunra_sat_legacy.h"

namespace zunra {

inline constexpr std::size_t kReplyCapacity = sizeof(BC.data);
inline constexpr std::size_t kFrameCapacity = 0x180000;
inline constexpr char kBusyMessage[] = "SAT em processamento. Tente novamente.";

// Length in milliseconds of one second of a timeout pair as the receive
// phase waits it. Always 1000 in the library; the test suite shortens it so
// that hundreds of deadlines (silent units, dropped replies) run in seconds.
extern int deadline_second_ms;

// The deadline of one exchange from its timeout pair, on the monotonic
// clock. Tempo_Tout is set to tick() + the pair's seconds as its mirror.
Deadline set_deadline(const int pair[2]);

// The deadline Tempo_Tout names, for the exported phases that take none:
// the one set_deadline made while Tempo_Tout still holds its value, else
// that many tick() seconds from now (code that set Tempo_Tout by hand).
Deadline deadline_of_tempo();

// Which replies complete a receive phase. A reply of the standard form
// starts with a session field, digits after an optional minus sign, and a
// '|'; a piece that does not (the tail of an earlier reply that came late)
// is never a reply and is dropped like one of another session. Of the
// standard replies the filter takes any, or those whose session field is
// exactly the text a frame carries for one of up to two sessions: "%06d",
// so 123 is "000123", 1234567 "1234567" and -5 "-00005".
class ReplyFilter {
 public:
  static ReplyFilter any() { return ReplyFilter(); }
  static ReplyFilter session(int s) { return ReplyFilter(s, s); }
  static ReplyFilter either(int s, int other) { return ReplyFilter(s, other); }
  bool takes(const char* reply) const;  // NUL-terminated, without its 0x03

 private:
  ReplyFilter() = default;
  ReplyFilter(int first, int second);
  bool any_ = true;
  char first_[12] = {}, second_[12] = {};  // "%06d" of an int fits 11 characters
};

// The phases of one exchange on the device of the running exchange:
// open the device and write the frame (EnviaParaSat), then collect the
// reply into BC (RecebeDoSat2/3), closing the device on every path.
bool send_phase(const char* frame, const Deadline& deadline);
bool receive_phase(ReplyFilter filter, const Deadline& deadline);
inline bool exchange(const char* frame, ReplyFilter filter, const Deadline& deadline) {
  return send_phase(frame, deadline) && receive_phase(filter, deadline);
}

// The device of the running exchange (init_usb, envia_usb, le_usb). Opening
// it first takes the unit's device lock, waiting for another program until
// the deadline: nothing is sent while another program's exchange runs.
bool open_device(const char* path, const Deadline& deadline);
bool send_on_device(const char* frame, const Deadline& deadline);
int read_step_into_reply(const Deadline& deadline);

void reset_reply(int size);  // cbInit

// The call lock's two steps (lock, unlock).
int try_lock();
void release_lock();

// Wall-clock seconds since the epoch (tick).
int wall_seconds();

// The call lock for the duration of a SAT call. Loads the settings first
// (the first call of a process decides nothing on built-in values), then
// takes the lock in 100 ms steps; releases it on every path. The unit's
// device lock, which other programs share, is taken at the call's first
// open and held as long, retries and pauses included.
class CallLock {
 public:
  CallLock();
  ~CallLock();
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;

 private:
  DeviceLock unit_;
  DeviceLock* outer_;
};

// The per-call frame buffer of 1,572,864 bytes on the heap. A frame that does
// not fit, or a buffer that could not be had, is never sent: format() then
// returns false and the caller answers with its fallback reply.
class FrameBuffer {
 public:
  FrameBuffer();
  ~FrameBuffer();
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;

  bool format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  char* frame() { return data_; }
  const char* after_code() const;  // the frame from its fifth character, for the log

 private:
  char* data_;
};

// Writes "%06d%s%s%s" into BC.data: the session, the failure code with its
// bars ("|04098|"), the busy message (after "0000|" for sales and
// cancellations) and "||". A bare "04098" gets its bars added.
void write_fallback(int session, const char* failure_code, bool with_0000);
// The same text into `size` bytes at `to`.
void format_fallback(char* to, std::size_t size, int session, const char* failure_code, bool with_0000);

// The return code of the reply in BC: up to five characters after its first '|'.
std::string_view reply_code();

// A text argument holding the frame terminator 0x03 would end the command
// early and have the unit carry out the rest as a command of its own (a
// product name "Cafe|" 0x03 "|13|..." blocks the unit). Such a call is
// refused before anything is sent; the debug log says why.
bool refuses_arguments(std::initializer_list<const char*> texts);

// The skin of every SAT function: runs the body under the call lock with
// thread cancellation held off, unless a text argument is refused, and lets
// nothing escape to the C caller: should anything be thrown, the caller gets
// the fallback reply. Answers with the calling thread's copy of the reply
// left in BC.
template <class Body>
const char* sat_call(int session, const char* failure_code, bool with_0000,
                     std::initializer_list<const char*> texts, Body body) noexcept {
  const NoCancel no_cancel;
  try {
    CallLock call_lock;
    counters::CountedCall counted(failure_code);
    try {
      if (refuses_arguments(texts))
        write_fallback(session, failure_code, with_0000);
      else
        body();
    } catch (...) {
      write_fallback(session, failure_code, with_0000);
    }
    return reply_for_caller(session, failure_code, with_0000);
  } catch (...) {
    return fallback_for_caller(session, failure_code, with_0000);
  }
}

// Null text arguments are taken as empty texts.
inline const char* text_or_empty(const char* s) {
  return s ? s : "";
}

}  // namespace zunra
