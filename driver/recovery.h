// Pieces shared by the recovering SAT functions (sales, cancellations and
// the two session queries) that the tests reach directly.
#pragma once

#include <cstddef>
#include <cstdio>

#include "driver_log.h"
#include "exchange.h"

namespace zunra {

// Runs one SAT call's body under the call lock. Nothing escapes to the C
// caller: should anything be thrown, the caller gets the fallback reply.
template <class Body>
const char* locked_call(int session, const char* failure_code, bool with_0000, Body body) noexcept {
  try {
    CallLock call_lock;
    try {
      return body();
    } catch (...) {
      write_fallback(session, failure_code, with_0000);
    }
  } catch (...) {
    write_fallback(session, failure_code, with_0000);
  }
  return BC.data;
}

// The console line and driver-log line that open each attempt.
inline void announce_attempt(const char* label, int number) {
  console("%s%d\n", label, number);
  char text[16];
  std::snprintf(text, sizeof text, "%d", number);
  debug_log(label, text);
}

// The pause between two attempts: TmpTent seconds (none when TmpTent <= 0).
void pause_between_attempts();

// Gives a reply of exactly ten '|' an empty eleventh field: a '|' goes right
// after the tenth one and the rest moves one place on. Returns false and
// leaves the text alone for any other count, or when the text plus the extra
// byte and its NUL would not fit `capacity` bytes.
bool insert_empty_field(char* text, std::size_t capacity);

// Decodes numeric character references of `text` in place, keeping its
// length: "&#x41;" and "&#65;" both become blanks followed by 'A'.
void correct_references(char* text);

}  // namespace zunra
