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

#include "counters_file.h"

namespace zunra::counters {

// <settings directory>/zunra_sat_counters
std::string counters_file_path();

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
// under the last reason given. `detail`: the PID holding the unit, or the
// seconds waited for a reply, for the record of the last fallback.
void failed(Outcome reason, std::int64_t detail = 0) noexcept;
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
