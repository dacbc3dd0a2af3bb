// Loading the settings from <dir>/sat.ini: once per process before the
// first decision, or again on request. Loading fills the globals of
// settings.h, which know nothing of the file.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

namespace zunra {

std::string settings_file_path();  // <dir>/sat.ini

// Loads the settings once per process, before a SAT call or SetDriver takes
// any decision. Loading happens only while SAT_SERIAL is still empty, so a
// program that sets SAT_SERIAL itself skips it. Safe when several threads
// make their first call together. A missing file leaves the built-in
// values; one that cannot be read does too, and says so once per process
// on standard error. When the file could not be read for a passing reason
// (no descriptor or memory free, a signal) nothing is loaded: SAT_SERIAL
// stays empty, so that call cannot reach a unit and the next one tries
// again.
void ensure_settings_loaded();

// Loads them again, whatever was loaded before (init_lib).
void reload_settings();

// Longest device path SAT_SERIAL holds.
inline constexpr std::size_t kMaxSerialPath = sizeof(SAT_SERIAL) - 1;

// The device path a SERIAL value names: the value itself when it begins
// with "/dev/", else the value under "/dev/". False, and `out` untouched,
// when that path would not fit SAT_SERIAL: cutting it would name some
// other device.
bool device_path_for(const char* value, DevicePath& out);

// A line of sat.ini that loading passes over, and why. Such lines are
// ignored as they always were; this only says so (in the log while
// debugging, and in sat_status --check).
struct IgnoredSetting {
  std::string section, key, value, why;
};
std::vector<IgnoredSetting> ignored_settings(const char* file);

// True when `text` begins with "MM:SS"; its digits then go to sMM and sSS
// (valida_TOUT).
bool validate_timeout(const char* text);

// True when `path` is a regular file that can be opened for reading
// (file_existe). A FIFO, a device or a directory is not, and never makes
// the caller wait.
bool readable_file(const char* path);

}  // namespace zunra
