// The command exchange: the reply buffer BC, the call lock, deadlines, the
// send and receive phases, fallback replies, console lines and the driver log.
// Every SAT function is built from these pieces.
#pragma once

#include "wait.h"
#include "zunra_sat.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" {
// The one reply buffer. Every SAT function returns BC.data.
struct SatReplyBuffer {
  int32_t size;   // capacity of data
  int32_t count;  // bytes stored so far; data[count] is always NUL
  int32_t spare[3];
  char data[0x300000];
};
ZUNRA_API extern SatReplyBuffer BC;
ZUNRA_API extern int Tempo_Tout;  // deadline of the current exchange, tick() seconds
ZUNRA_API extern int lib_lock;    // 1 while a SAT call holds the call lock

ZUNRA_API void cbInit(int size);
ZUNRA_API int EnviaParaSat(char* frame);
ZUNRA_API int RecebeDoSat2(int session);  // waits for a complete reply of this session
ZUNRA_API int RecebeDoSat3(void);         // waits for any complete reply
ZUNRA_API int lock(void);
ZUNRA_API int unlock(void);
ZUNRA_API int tick(void);
ZUNRA_API int mili_tick(void);
ZUNRA_API const char* timestamp(void);
ZUNRA_API int EnviaLog(const char* message, const char* detail);
ZUNRA_API char* IntToStr(int value, int len);
}

namespace zunra {

inline constexpr std::size_t kReplyCapacity = sizeof(BC.data);
inline constexpr std::size_t kFrameCapacity = 0x180000;
inline constexpr char kBusyMessage[] = "SAT em processamento. Tente novamente.";

// A console line, printed only while SAT_NOPOPUP starts with "false".
void console(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A driver-log line, written only while ModoDebug is on.
void debug_log(const char* message, const char* detail);

// Starts an exchange's deadline from a timeout pair: Tempo_Tout from tick(),
// and the deadline the receive phase really waits for on the monotonic clock.
void set_deadline(const int pair[2]);

// Length in milliseconds of one second of a timeout pair as the receive
// phase waits it. Always 1000 in the library; the test suite shortens it so
// that hundreds of deadlines (silent units, dropped replies) run in seconds.
extern int deadline_second_ms;

// The monotonic deadline of the running exchange. Code that sets
// Tempo_Tout by hand instead of through set_deadline gets a deadline that
// many tick() seconds from now.
Deadline exchange_deadline();

// The call lock for the duration of a SAT call. Loads the settings first
// (the first call of a process decides nothing on built-in values), then
// takes the lock in 100 ms steps; releases it on every path.
class CallLock {
 public:
  CallLock();
  ~CallLock();
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;
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

// The receive phase of a query about another session: a reply carrying the
// call's own session or the one asked about completes it; others are dropped.
int receive_either(int session, int asked);

// The return code of the reply in BC: up to five characters after its first '|'.
std::string_view reply_code();

// Null text arguments are taken as empty texts.
inline const char* text_or_empty(const char* s) { return s ? s : ""; }

}  // namespace zunra
