// What every driver test stands on: a private settings directory, a simulated
// unit on a pseudo-terminal already in SAT_SERIAL (sat.ini is never loaded),
// built-in settings and short deadlines; all undone at scope exit.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver_log.h"
#include "exchange.h"
#include "serial_link.h"
#include "settings.h"
#include "settings_table.h"
#include "sim_unit.h"
#include "temp_dir.h"

namespace zunra::test {

// One second of a timeout pair in tests: pairs last 1/20 of their real time.
inline constexpr int kTestSecondMs = 50;

// Sets an environment variable for the scope, then puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Built-in settings with this device path (empty: not loaded, as at process start).
inline void reset_settings(const std::string& serial) {
  restore_built_in_settings();
  if (serial.empty())
    for (const SwitchSetting& s : kSwitches) store_text(s.text, s.size, "");
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, serial.c_str());
  __atomic_store_n(&lib_lock, 0, __ATOMIC_RELEASE);
}

inline std::string read_file(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The driver log's lines without their timestamps.
inline std::vector<std::string> driver_log_lines() {
  std::vector<std::string> lines;
  std::istringstream in(read_file(driver_log_path()));
  const std::size_t prefix = sizeof "06-12-2026 20:41:00: " - 1;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line.size() >= prefix ? line.substr(prefix) : line);
  return lines;
}

// What the library prints on fd 1 for the scope or until finish().
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    if (file_) saved_ = ::dup(1), ::dup2(::fileno(file_.get()), 1);
  }
  ~StdoutCapture() { finish(); }

  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
      std::rewind(file_.get());
      for (int c; (c = std::fgetc(file_.get())) != EOF;) text_ += static_cast<char>(c);
    }
    return text_;
  }

 private:
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{std::tmpfile(), &std::fclose};
  int saved_ = -1;
  std::string text_;
};

// Lock files in a directory of the scope's own, root's with group `group`
// and mode 2770, as the package makes /run/zunra_sat for dialout.
class ScopedLockDir {
 public:
  explicit ScopedLockDir(gid_t group) : saved_(lock_dir) {
    if (::chown(dir_.path().c_str(), 0, group) == 0 && ::chmod(dir_.path().c_str(), 02770) == 0)
      lock_dir = dir_.path().c_str();
  }
  ~ScopedLockDir() { lock_dir = saved_; }
  ScopedLockDir(const ScopedLockDir&) = delete;
  ScopedLockDir& operator=(const ScopedLockDir&) = delete;
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  const char* saved_;
};

class DriverEnvironment {
 public:
  DriverEnvironment() : env_("ZUNRA_SAT_DIR", dir_.path()), unit_(std::make_unique<sim::SimUnit>()) {
    reset_settings(unit_->path());
    deadline_second_ms = kTestSecondMs;
  }
  ~DriverEnvironment() {
    unit_.reset();
    reset_settings("/dev/ttyACM0");
    deadline_second_ms = 1000;
  }

  sim::SimUnit& unit() { return *unit_; }
  const std::string& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  ScopedEnv env_;
  std::unique_ptr<sim::SimUnit> unit_;
};

class DriverTest : public ::testing::Test, public DriverEnvironment {
 protected:
  static void console_on() { store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "false"); }
  static void use_real_seconds() { deadline_second_ms = 1000; }
};

// The sixteen timeout pairs in the order of the command codes, written out
// here rather than taken from the settings table they check.
inline const std::pair<const char*, int*> kTimeoutPairs[] = {
    {"T_Ativ", T_Ativ},       {"T_ICP", T_ICP},
    {"T_Venda", T_Venda},     {"T_Canc", T_Canc},
    {"T_Cons", T_Cons},       {"T_Fim", T_Fim},
    {"T_Stat", T_Stat},       {"T_Sessao", T_Sessao},
    {"T_Rede", T_Rede},       {"T_Assoc", T_Assoc},
    {"T_Atual", T_Atual},     {"T_Logs", T_Logs},
    {"T_Bloq", T_Bloq},       {"T_Desbloq", T_Desbloq},
    {"T_CodAtiv", T_CodAtiv}, {"T_SessaoFiscal", T_SessaoFiscal}};

// A frame as the unit sees it on the wire.
inline std::string on_wire(const std::string& frame) {
  return frame + "|\x03";
}

}  // namespace zunra::test
