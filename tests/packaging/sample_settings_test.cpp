// The sat.ini that the package installs in the settings directory. As
// shipped it must give the built-in values except the ones recommended for
// a till; with every setting uncommented each line must be one the driver
// really reads, and the values the comments call built-in must be the
// built-in ones.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "../support/driver_test.h"

namespace {

using zunra::test::driver_log_lines;
using zunra::test::read_file;
using zunra::test::reset_settings;
using zunra::test::ScopedEnv;
using zunra::test::TempDir;

// Every setting as one printable text, so that a difference shows by name.
std::string settings_now() {
  std::string s = std::string("SERIAL=") + SAT_SERIAL + " DEBUG=" + SAT_DEBUG + " NO_POPUP=" + SAT_NOPOPUP +
                  " CORRECAO=" + SAT_CORRECAO + " LOCK=" + SAT_LOCK + " RET_10001=" + SAT_RET_10001 +
                  " ModoDebug=" + std::to_string(ModoDebug) + " Corrigir=" + std::to_string(Corrigir) +
                  " ModoLock=" + std::to_string(ModoLock) + " Ret10001=" + std::to_string(Ret10001) +
                  " NumTent=" + std::to_string(NumTent) + " TmpTent=" + std::to_string(TmpTent) +
                  " LogMaxKb=" + std::to_string(zunra::log_max_kb) + " T=";
  for (const zunra::TimeoutSetting& t : zunra::kTimeouts)
    s += std::to_string(t.pair[0]) + ":" + std::to_string(t.pair[1]) + " ";
  return s;
}

// The sample with every commented setting line ("; KEY=value" has a blank,
// ";KEY=value" none) taken in, and DEBUG switched on.
std::string uncommented(const std::string& sample) {
  std::istringstream in(sample);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 1 && line[0] == ';' && std::isupper(static_cast<unsigned char>(line[1])) &&
        line.find('=') != std::string::npos)
      line.erase(0, 1);
    if (line == "DEBUG=false") line = "DEBUG=true";
    out += line + "\n";
  }
  return out;
}

void load(const std::string& dir, const std::string& text) {
  std::ofstream(dir + "/sat.ini", std::ios::binary) << text;
  init_lib();
}

TEST(ShippedSettingsFile, GivesTheRecommendedValuesAndDocumentsEverySettingTruly) {
  const std::string sample = read_file(ZUNRA_SAMPLE_INI);
  ASSERT_FALSE(sample.empty());
  TempDir dir;
  ScopedEnv env("ZUNRA_SAT_DIR", dir.path());

  // Built-in values, with three attempts 5 s apart recommended for a till
  // (and the console kept quiet, as it is built in).
  reset_settings("/dev/ttyACM0");
  NumTent = 3;
  TmpTent = 5;
  const std::string recommended = settings_now();

  // As shipped.
  reset_settings("");
  load(dir.path(), sample);
  EXPECT_EQ(recommended, settings_now());

  // Every commented setting line switched on, and the debug log with it so
  // that the driver tells which lines it took.
  const std::string with_log = uncommented(sample);
  ASSERT_NE(std::string::npos, with_log.find("\nDEBUG=true\n")) << "no DEBUG line in the sample";
  std::istringstream lines_in(with_log);
  int setting_lines = 0;
  for (std::string line; std::getline(lines_in, line);)
    setting_lines += line.find('=') != std::string::npos && line[0] != ';';
  EXPECT_EQ(9 + 16, setting_lines) << "every [DEFAULT] key and every timeout, once each";

  reset_settings("");
  load(dir.path(), with_log);
  EXPECT_EQ(1, ModoDebug);
  ModoDebug = 0;
  std::strcpy(SAT_DEBUG, "false");
  EXPECT_EQ(recommended, settings_now());

  // The driver logs a setting only when it read the key from its section;
  // a misspelt key or a misplaced [TIMEOUT] would go silently unread.
  const auto lines = driver_log_lines();
  const auto taken = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find(" redefinido para") != std::string::npos;
  });
  EXPECT_EQ(16 + 3, taken) << "timeouts, N_TENT, TMP_TENT and LOG_MAX_KB read";
  EXPECT_TRUE(std::find(lines.begin(), lines.end(), "Utilizando interface: /dev/ttyACM0") != lines.end())
      << "the device path, SERIAL, was not read";
  reset_settings("/dev/ttyACM0");
}

}  // namespace
