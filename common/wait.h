// The one place where the library waits: a deadline on the monotonic clock
// and a poll() on the device bounded by it. A Pi has no real-time clock and
// its wall clock jumps when network time arrives, so nothing here looks at
// the wall clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace zunra {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  Deadline() : at_(Clock::now()) {}  // already due
  static Deadline in_ms(std::int64_t ms);

  bool passed() const { return Clock::now() >= at_; }
  // Milliseconds left, rounded up so that a wait never ends early; 0 once due.
  std::int64_t remaining_ms() const;
  // The earlier of this deadline and `ms` from now.
  Deadline capped_ms(std::int64_t ms) const;

 private:
  explicit Deadline(Clock::time_point at) : at_(at) {}
  Clock::time_point at_;
};

enum class Readiness {
  ready,    // the descriptor has what was asked for
  timeout,  // the deadline passed first
  hangup,   // the line is gone (hang-up, error, or not a descriptor)
};

// Waits until `fd` has `events` (POLLIN or POLLOUT) or until the deadline
// passes, recomputing the time left on every pass and retrying EINTR. A
// deadline already due still checks the descriptor once.
Readiness wait_for(int fd, short events, const Deadline& deadline);

// Sleeps until the deadline, whatever signals arrive meanwhile.
void sleep_until(const Deadline& deadline);
inline void pause_ms(std::int64_t ms) {
  sleep_until(Deadline::in_ms(ms));
}

// Tries `attempt` until it succeeds or the deadline passes, for things that
// cannot be polled on (a lock held by another process). Between tries it
// sleeps 1 ms, then 2, 4, ... up to `longest_step_ms`, never past the
// deadline. Always tries at least once; true when a try succeeded.
template <typename Attempt>
bool retry_until(const Deadline& deadline, std::int64_t longest_step_ms, Attempt attempt) {
  for (std::int64_t step = 1;; step = std::min(step * 2, longest_step_ms)) {
    if (attempt()) return true;
    if (deadline.passed()) return false;
    sleep_until(deadline.capped_ms(step));
  }
}

}  // namespace zunra
