// What the driver tells a technician: console lines on standard output and
// lines of the driver log in the settings directory. Both are switched by
// the settings alone (SAT_NOPOPUP, ModoDebug).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

namespace zunra {

// <settings directory>/lib_zunra_dorvex.log
std::string driver_log_path();

// A console line, printed only while SAT_NOPOPUP starts with "false".
void console(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A driver-log line, written only while ModoDebug is on.
void debug_log(const char* message, const char* detail);

// Appends "<timestamp>: <message><detail>" to the driver log whatever the
// switches say (EnviaLog). The log is only ever a regular file, never
// reached through a link, created 0660 with the directory's group, and
// rotated to <log>.1 past LOG_MAX_KB or when found open to other users.
// A line waits a few milliseconds at most for other writers. 0 written; -1
// when it cannot be written, which is also said once per process on
// standard error.
int append_log_line(const char* message, const char* detail) noexcept;

// "<message><detail>" on standard error the first time this process (a fork
// child is another) comes here with `said_by`, whatever the switches say:
// for what a till must be told even with DEBUG off. Standard output belongs
// to the console lines.
bool say_once(std::atomic<pid_t>& said_by, const char* message, const char* detail);

// Local time as "%d-%m-%Y %H:%M:%S" in one static buffer, overwritten by
// the next call (timestamp()).
const char* log_timestamp();

}  // namespace zunra
