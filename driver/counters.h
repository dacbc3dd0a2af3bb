// What the driver counts about its SAT calls, for a technician and for the
// fleet's monitoring: one small file in the settings directory, mapped by
// every process that uses the unit and updated with atomic operations, so
// that the counts of all programs on the till add up in one place and
// outlive them. Always on and cheap: a call never waits for it, and when the
// file cannot be had the call goes on uncounted.
//
// The file has a fixed size and never grows. A file found in its place that
// is not exactly one of ours (another size, magic or version, not a plain
// file, a link, another owner, a mode other than 0660) is replaced by a
// fresh one, never trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zunra::counters {

// The SAT functions, in the order of their command codes.
inline constexpr int kFunctions = 16;
extern const char* const kFunctionNames[kFunctions];

// How a call ended: the unit's reply by the class of its return code, or the
// driver's fallback reply by the reason the exchange failed.
enum class Outcome : std::uint8_t {
  success,     // return code ending in 000
  unit_error,  // any other code of the unit
  unit_busy,   // the unit's own "in processing" answer (code ending in 098)
  // Fallback replies:
  no_device,
  permission_denied,
  not_a_terminal,
  held_by_another_process,
  lock_file_unavailable,
  frame_refused,  // too large for its buffer, or an argument holding 0x03: nothing was sent
  send_timed_out,
  no_reply,
  hang_up,
  reply_too_large,
};
inline constexpr int kOutcomes = 13;
inline constexpr int kFirstFallback = static_cast<int>(Outcome::no_device);

struct OutcomeName {
  const char* label;  // for scripts and metrics
  const char* text;   // for the technician
};
extern const OutcomeName kOutcomeNames[kOutcomes];

// What a session query made by recovery (after a failed exchange of a sale
// or a cancellation) found.
enum class Finding : std::uint8_t { issued, not_issued, busy, no_answer };
inline constexpr int kFindings = 4;
extern const OutcomeName kFindingNames[kFindings];

// The counts, all 64-bit words. The file holds a header and then these.
struct Values {
  std::uint64_t calls[kFunctions][kOutcomes];
  std::uint64_t attempts[kFunctions];
  std::uint64_t busy_retries[kFunctions];  // attempts that followed the unit's busy answer
  std::uint64_t recovery_queries[kFindings];
  std::uint64_t lock_waits;  // calls that found the unit's device lock taken
  std::uint64_t lock_wait_us_total;
  std::uint64_t lock_wait_us_longest;
  std::uint64_t bytes_sent;
  std::uint64_t bytes_received;
  // The longest call: milliseconds taken (bits 36-63), the milliseconds its
  // deadlines and pauses allowed (bits 8-35) and its function (bits 0-7).
  std::uint64_t longest_call;
  // The last fallback: wall-clock seconds (bits 32-63), function (bits 8-15)
  // and outcome (bits 0-7); 0 before the first.
  std::uint64_t last_fallback;
};

// Unpacked last fallback and longest call.
struct LastFallback {
  bool any;
  std::int64_t time;
  int function;
  Outcome outcome;
};
LastFallback last_fallback_of(const Values& v);
struct LongestCall {
  std::int64_t ms, bound_ms;
  int function;  // -1: no call yet
};
LongestCall longest_call_of(const Values& v);

// <settings directory>/zunra_sat_counters
std::string counters_file_path();

// Reads the counters file at `path` without changing it. False, with `why`
// saying so, when it is missing or is not a counters file of this version.
bool read_counters(const std::string& path, Values& out, std::string& why);

// ---- The hooks of the library, one per event --------------------------------

// For the length of one SAT call, identified by its failure code ("|08098|"):
// at its end the outcome, the attempts, the call's time against what its
// deadlines allowed and the last fallback are counted.
class CountedCall {
 public:
  explicit CountedCall(const char* failure_code) noexcept;
  ~CountedCall();
  CountedCall(const CountedCall&) = delete;
  CountedCall& operator=(const CountedCall&) = delete;

 private:
  bool active_;
};

// Why the running exchange failed; the call's fallback reply is counted
// under the last reason given.
void failed(Outcome reason) noexcept;
// The running call's reply buffer now holds the fallback reply / a reply of
// the unit.
void fallback_written() noexcept;
void reply_taken() noexcept;
// Another attempt follows a failed one (a busy answer or a failed exchange).
void next_attempt() noexcept;
// A deadline or a pause allowed the running call this much more time.
void allowed_ms(std::int64_t ms) noexcept;
void recovery_query(Finding found, int session) noexcept;
void lock_waited(std::int64_t us) noexcept;
void sent(std::size_t bytes) noexcept;
void received(std::size_t bytes) noexcept;

}  // namespace zunra::counters
