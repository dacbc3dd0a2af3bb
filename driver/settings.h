// Process-wide driver settings: the device path, the switches, the retry
// settings and one timeout pair (minutes, seconds) per SAT function. They
// are plain exported globals, as point-of-sale programs and our tests set
// them directly.
#pragma once

#include <cstddef>
#include <string>

#include "zunra_sat_legacy.h"

namespace zunra {

inline constexpr char kVersion[] = "3.0.0.3_acm0_rpi";

// Directory of sat.ini and of the driver log: $ZUNRA_SAT_DIR when set and
// not empty, else /var/zunra_dorvex.
std::string settings_dir();

// A switch text is on when its first four characters are "true".
bool switch_on(const char* text);

// SetDriver changes settings while SAT calls on other threads read them, so
// every access to the int settings from library code goes through these
// two: a change then lands whole and ThreadSanitizer sees no race.
inline int setting(const int& value) {
  return __atomic_load_n(&value, __ATOMIC_RELAXED);
}
inline void change_setting(int& target, int value) {
  __atomic_store_n(&target, value, __ATOMIC_RELAXED);
}

// Console lines are printed only while SAT_NOPOPUP starts with "false".
// Reads the text byte by byte atomically, as SetDriver may be rewriting it.
bool console_enabled();

// A snapshot of SAT_SERIAL for opening the device, taken atomically byte by
// byte for the same reason; always NUL-terminated.
struct DevicePath {
  char text[sizeof(SAT_SERIAL)];
};
DevicePath serial_path();

// Stores a text setting (SAT_SERIAL, SAT_NOPOPUP, ...) without racing its
// readers: the first byte is written last, so a reader that sees it
// non-empty sees the whole text. Cut to size - 1 characters.
void store_text(char* dest, std::size_t size, const char* text);

}  // namespace zunra
