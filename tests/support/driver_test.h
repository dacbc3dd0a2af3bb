// What every driver test stands on: a private settings directory, a fresh
// simulated unit on a real pseudo-terminal whose path is already in
// SAT_SERIAL (so the settings file is never loaded), every setting back at
// its built-in value, and short deadlines. All of it is undone at scope exit.
//
//   class MyTest : public zunra::test::DriverTest {};
//   TEST_F(MyTest, Something) { unit().on_command(5, {...}); ConsultarSAT(7); ... }
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

#include "exchange.h"
#include "serial_link.h"
#include "settings.h"
#include "sim_unit.h"

namespace zunra::test {

// Length of one second of a timeout pair in tests: the built-in pairs then
// last 1/20 of their real time (T_Cons 4 s -> 200 ms, T_Venda 20 s -> 1 s).
inline constexpr int kTestSecondMs = 50;

// A directory under /tmp, removed with everything in it at scope exit.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zunra_test_XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    auto remove_one = [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); };
    ::nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Sets an environment variable for the scope, then puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_.c_str(), old_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Every setting global and timeout pair at its built-in value, with the
// device path given (empty: settings not loaded, as at process start).
inline void reset_settings(const std::string& serial) {
  store_text(SAT_DEBUG, sizeof SAT_DEBUG, serial.empty() ? "" : "false");
  store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, serial.empty() ? "" : "true");
  store_text(SAT_CORRECAO, sizeof SAT_CORRECAO, serial.empty() ? "" : "false");
  store_text(SAT_LOCK, sizeof SAT_LOCK, serial.empty() ? "" : "true");
  store_text(SAT_RET_10001, sizeof SAT_RET_10001, serial.empty() ? "" : "false");
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, serial.c_str());
  ModoDebug = 0;
  Corrigir = 0;
  ModoLock = 1;
  Ret10001 = 0;
  NumTent = 1;
  TmpTent = 6;
  struct Pair {
    int* pair;
    int minutes, seconds;
  };
  const Pair built_in[] = {
      {T_Ativ, 5, 0},          {T_ICP, 5, 0},   {T_Venda, 0, 20},   {T_Canc, 0, 3},
      {T_Cons, 0, 4},          {T_Fim, 0, 40},  {T_Stat, 0, 4},     {T_Sessao, 0, 20},
      {T_SessaoFiscal, 0, 20}, {T_Rede, 0, 20}, {T_Assoc, 30, 0},   {T_Atual, 30, 0},
      {T_Logs, 0, 20},         {T_Bloq, 5, 0},  {T_Desbloq, 0, 40}, {T_CodAtiv, 0, 20},
  };
  for (const Pair& p : built_in) {
    p.pair[0] = p.minutes;
    p.pair[1] = p.seconds;
  }
  __atomic_store_n(&lib_lock, 0, __ATOMIC_RELEASE);
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The driver log of the test's directory, each line without its timestamp
// and ": " (what remains is message followed by detail).
inline std::vector<std::string> driver_log_lines() {
  std::vector<std::string> lines;
  std::istringstream in(read_file(driver_log_path()));
  const std::size_t prefix = std::strlen("06-12-2026 20:41:00: ");
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
    char pattern[] = "/tmp/zunra_stdout_XXXXXX";
    file_ = ::mkstemp(pattern);
    if (file_ < 0) return;
    ::unlink(pattern);
    saved_ = ::dup(1);
    ::dup2(file_, 1);
  }
  ~StdoutCapture() { finish(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Stops capturing (once) and returns everything printed meanwhile.
  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
      ::lseek(file_, 0, SEEK_SET);
      char chunk[4096];
      for (ssize_t n; (n = ::read(file_, chunk, sizeof chunk)) > 0;)
        text_.append(chunk, static_cast<size_t>(n));
      ::close(file_);
      file_ = -1;
    }
    return text_;
  }

 private:
  int file_ = -1;
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
  DriverEnvironment(const DriverEnvironment&) = delete;
  DriverEnvironment& operator=(const DriverEnvironment&) = delete;

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
class DriverTest : public ::testing::Test {
 protected:
  sim::SimUnit& unit() { return env_.unit(); }
  sim::SimUnit& restart_unit(sim::SimUnit::Options options = {}) { return env_.restart_unit(options); }
  const std::string& dir() const { return env_.dir(); }
  static void debug_on() { ModoDebug = 1; }
  static void console_on() { store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "false"); }
  static void use_real_seconds() { deadline_second_ms = 1000; }

 private:
  DriverEnvironment env_;
};

// A wire frame as the unit sees it, for comparisons: the frame text, '|', 0x03.
inline std::string on_wire(const std::string& frame) {
  return frame + "|\x03";
}

}  // namespace zunra::test
