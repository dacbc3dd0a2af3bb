// Reading of <dir>/sat.ini during loading. Internal to the settings room.
#pragma once

#include "settings.h"

namespace zunra {

// Longest device path SAT_SERIAL holds.
inline constexpr std::size_t kMaxSerialPath = sizeof(SAT_SERIAL) - 1;

// The device path a SERIAL value names: the value itself when it begins
// with "/dev/", else the value under "/dev/". False, and `out` untouched,
// when that path would not fit SAT_SERIAL: cutting it would name some
// other device.
bool device_path_for(const char* value, DevicePath& out);

// Reads the settings file, when it exists, into the settings globals. The
// six texts hold their reset values on entry. The device path is left in
// `serial` rather than in SAT_SERIAL, which the caller stores last because
// a non-empty SAT_SERIAL tells other threads that loading is over.
void read_settings_file(DevicePath& serial);

// True when `text` begins with "MM:SS"; its digits then go to sMM and sSS
// (valida_TOUT).
bool validate_timeout(const char* text);

// True when `path` is a regular file that can be opened for reading
// (file_existe). A FIFO, a device or a directory is not, and never makes
// the caller wait.
bool readable_file(const char* path);

}  // namespace zunra
