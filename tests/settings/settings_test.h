// Shared by the settings tests. Loading happens once per process, and CTest
// runs every discovered test case as a process of its own, so each case
// starts as a fresh point-of-sale program would: nothing loaded. The fixture
// also puts the process-start values back, so that a hand run of the whole
// binary behaves the same.
#pragma once

#include "../support/driver_test.h"

using Lines = std::vector<std::string>;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : env_("ZUNRA_SAT_DIR", dir_.path()) { zunra::test::reset_settings(""); }
  ~SettingsTest() override { zunra::test::reset_settings("/dev/ttyACM0"); }

  void write_ini(const std::string& text) { std::ofstream(dir_.path() + "/sat.ini") << text; }

  // Writes the file and loads it as the first call of a process would.
  void load(const std::string& text) {
    write_ini(text);
    init_lib();
  }

  // Driver-log lines written since the last call, without their timestamps.
  Lines take_log() {
    Lines lines = zunra::test::driver_log_lines();
    std::remove(zunra::driver_log_path().c_str());
    return lines;
  }

  zunra::test::TempDir dir_;
  zunra::test::ScopedEnv env_;
};
