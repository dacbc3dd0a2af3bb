// Each case runs as a process of its own (CTest), so it starts as a program
// would: nothing loaded. The fixture puts the start values back for hand runs.
#pragma once

#include "../support/driver_test.h"

using Lines = std::vector<std::string>;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : env_("ZUNRA_SAT_DIR", dir_.path()) { zunra::test::reset_settings(""); }
  ~SettingsTest() override { zunra::test::reset_settings("/dev/ttyACM0"); }
  void write_ini(const std::string& text) { std::ofstream(dir_.path() + "/sat.ini") << text; }
  void load(const std::string& text) { write_ini(text), init_lib(); }
  Lines take_log() {  // driver-log lines since the last call, without timestamps
    Lines lines = zunra::test::driver_log_lines();
    std::remove(zunra::driver_log_path().c_str());
    return lines;
  }
  zunra::test::TempDir dir_;
  zunra::test::ScopedEnv env_;
};
