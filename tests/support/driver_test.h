// What every driver test stands on: a private settings directory, a fresh
// simulated unit on a real pseudo-terminal whose path is already in
// SAT_SERIAL (so the settings file is never loaded), every setting back at
// its built-in value, and short deadlines. All of it is undone at scope exit.
//
//   class MyTest : public zunra::test::DriverTest {};
//   TEST_F(MyTest, Something) { unit().on_command(5, {...}); ConsultarSAT(7); ... }
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

// Length of one second of a timeout pair in tests: the built-in pairs then
// last 1/20 of their real time (T_Cons 4 s -> 200 ms, T_Venda 20 s -> 1 s).
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

// Every setting global and timeout pair at its built-in value, with the
// device path given (empty: settings not loaded, as at process start).
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

// The driver log of the test's directory, each line without its timestamp
// and ": " (what remains is message followed by detail).
inline std::vector<std::string> driver_log_lines() {
  std::vector<std::string> lines;
  std::istringstream in(read_file(driver_log_path()));
  const std::size_t prefix = sizeof "06-12-2026 20:41:00: " - 1;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line.size() >= prefix ? line.substr(prefix) : line);
  return lines;
}

// Captures what the library prints on standard output (fd 1) for the scope
// or until finish().
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    if (file_) saved_ = ::dup(1), ::dup2(::fileno(file_.get()), 1);
  }
  ~StdoutCapture() { finish(); }

  // Stops capturing (once) and returns everything printed meanwhile.
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

// The whole environment of one driver test, as one RAII object.
class DriverEnvironment {
 public:
  explicit DriverEnvironment(sim::SimUnit::Options options = {})
      : env_("ZUNRA_SAT_DIR", dir_.path()), unit_(std::make_unique<sim::SimUnit>(options)) {
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

  // A new unit in place of the old one (other options, or after a hang-up).
  sim::SimUnit& restart_unit(sim::SimUnit::Options options = {}) {
    unit_.reset();
    unit_ = std::make_unique<sim::SimUnit>(options);
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit_->path().c_str());
    return *unit_;
  }

 private:
  TempDir dir_;
  ScopedEnv env_;
  std::unique_ptr<sim::SimUnit> unit_;
};

// GoogleTest fixture over DriverEnvironment.
class DriverTest : public ::testing::Test, public DriverEnvironment {
 protected:
  static void debug_on() { ModoDebug = 1; }
  static void console_on() { store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "false"); }
  static void use_real_seconds() { deadline_second_ms = 1000; }
};

// A wire frame as the unit sees it, for comparisons: the frame text, '|', 0x03.
inline std::string on_wire(const std::string& frame) {
  return frame + "|\x03";
}

}  // namespace zunra::test
