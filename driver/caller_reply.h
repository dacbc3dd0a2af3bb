// The reply a SAT call hands back belongs to the thread that called: a copy
// of BC taken while the call still holds the call lock, valid until that
// thread's next SAT call. Another thread's call, which may start the moment
// the lock is free, then never overwrites a reply its caller is still
// reading. BC itself keeps the last exchange, as programs written against
// the exported buffer expect.
#pragma once

#include <cstddef>

namespace zunra {

// Copies the reply in BC for the calling thread and returns the copy. Should
// the memory for a long reply be short, the caller gets the function's
// fallback reply instead of a cut one.
const char* reply_for_caller(int session, const char* failure_code, bool with_0000) noexcept;

// The function's fallback reply, written straight into the calling thread's
// copy: for a call that could not even take the call lock.
const char* fallback_for_caller(int session, const char* failure_code, bool with_0000) noexcept;

}  // namespace zunra
