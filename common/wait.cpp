#include "wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace zunra {

Deadline Deadline::in_ms(std::int64_t ms) {
  return Deadline(Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(ms, 0)));
}

std::int64_t Deadline::remaining_ms() const {
  const auto left = at_ - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

Deadline Deadline::capped_ms(std::int64_t ms) const {
  const Deadline other = in_ms(ms);
  return other.at_ < at_ ? other : *this;
}

namespace {
// poll() takes an int of milliseconds; longer waits go round the loop again.
int poll_budget(const Deadline& deadline) {
  return static_cast<int>(std::min<std::int64_t>(deadline.remaining_ms(), INT_MAX));
}
}  // namespace

Readiness wait_for(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, poll_budget(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Readiness::hangup;
    }
    if (n > 0) {
      // A hung-up tty also reports itself readable; the hang-up decides.
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Readiness::hangup;
      if (p.revents & events) return Readiness::ready;
    }
    if (deadline.passed()) return Readiness::timeout;
  }
}

void sleep_until(const Deadline& deadline) {
  while (!deadline.passed()) ::poll(nullptr, 0, poll_budget(deadline));
}

}  // namespace zunra
