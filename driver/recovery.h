// Pieces shared by the recovering SAT functions (sales, cancellations and
// the two session queries) that the tests reach directly.
#pragma once

#include <cstddef>
#include <cstdio>

#include "counters.h"
#include "driver_log.h"
#include "exchange.h"
#include "settings.h"

namespace zunra {

// The console line and driver-log line that open each attempt.
inline void announce_attempt(const char* label, int number) {
  console("%s%d\n", label, number);
  char text[16];
  std::snprintf(text, sizeof text, "%d", number);
  debug_log(label, text);
}

// The pause between two attempts: TmpTent seconds (none when TmpTent <= 0).
void pause_between_attempts();

// The attempts of a sale, a cancellation or a session query: up to NumTent,
// each announced under `label`, TmpTent seconds apart, until `attempt`
// returns true (the call has its answer in BC). The fallback reply stands
// until an attempt replaces it: without any attempt the caller never gets
// the previous call's reply.
template <class Attempt>
void run_attempts(const char* label, int session, const char* failure_code, bool with_0000, Attempt attempt) {
  write_fallback(session, failure_code, with_0000);
  for (int number = 1; number <= setting(NumTent);) {
    announce_attempt(label, number);
    if (attempt()) return;
    if (++number <= setting(NumTent)) {
      counters::next_attempt();
      pause_between_attempts();
    }
  }
}

// Gives a reply of exactly ten '|' an empty eleventh field: a '|' goes right
// after the tenth one and the rest moves one place on. Returns false and
// leaves the text alone for any other count, or when the text plus the extra
// byte and its NUL would not fit `capacity` bytes.
bool insert_empty_field(char* text, std::size_t capacity);

// Decodes numeric character references of `text` in place, keeping its
// length: "&#x41;" and "&#65;" both become blanks followed by 'A'.
void correct_references(char* text);

}  // namespace zunra
