// A call into the library runs with thread cancellation held off and hands
// the caller's own setting back on return: a pthread_cancel that arrives
// meanwhile takes effect at the caller's next cancellation point after the
// call. Cancelled in the middle, a call would leave the unit halfway through
// an exchange, the call lock taken and a file half written; and the forced
// unwind cannot cross the library's C++ runtime, which aborts the host.
// Every call is bounded, so a cancel is only delayed, never lost.
#pragma once

#include <pthread.h>

namespace zunra {

class NoCancel {
 public:
  NoCancel() noexcept { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &caller_state_); }
  ~NoCancel() {
    int ignored;
    ::pthread_setcancelstate(caller_state_, &ignored);
  }
  NoCancel(const NoCancel&) = delete;
  NoCancel& operator=(const NoCancel&) = delete;

 private:
  int caller_state_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace zunra
