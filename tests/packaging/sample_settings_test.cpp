// The packaged sat.ini gives the built-in values except those recommended for
// a till; with every setting uncommented, each line is one the driver reads and
// the values the comments call built-in are the built-in ones.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "../support/driver_test.h"

using namespace zunra::test;

static std::string settings_now() {  // every setting, so a difference shows by name
  std::string s = std::string("SERIAL=") + SAT_SERIAL + " DEBUG=" + SAT_DEBUG + " NO_POPUP=" + SAT_NOPOPUP +
                  " CORRECAO=" + SAT_CORRECAO + " LOCK=" + SAT_LOCK + " RET_10001=" + SAT_RET_10001 +
                  " ModoDebug=" + std::to_string(ModoDebug) + " Corrigir=" + std::to_string(Corrigir) +
                  " ModoLock=" + std::to_string(ModoLock) + " Ret10001=" + std::to_string(Ret10001) +
                  " NumTent=" + std::to_string(NumTent) + " TmpTent=" + std::to_string(TmpTent) +
                  " LogMaxKb=" + std::to_string(zunra::log_max_kb) +
                  " Journal=" + std::to_string(zunra::journal_on) +

                  " Syslog=" + std::to_string(zunra::syslog_lines) + " T=";
  for (const auto& [name, pair] : kTimeoutPairs)
    s += std::to_string(pair[0]) + ":" + std::to_string(pair[1]) + " ";
  return s;
}

TEST(ShippedSettingsFile, GivesTheRecommendedValuesAndDocumentsEverySettingTruly) {
  const std::string sample = read_file(ZUNRA_SAMPLE_INI);
  TempDir dir;
  ScopedEnv env("ZUNRA_SAT_DIR", dir.path());
  auto load = [&](const std::string& text) {
    reset_settings("");
    std::ofstream(dir.path() + "/sat.ini", std::ios::binary) << text;
    init_lib();
  };
  reset_settings("/dev/ttyACM0");  // built-ins, with three attempts 5 s apart and the journal
  NumTent = 3;
  TmpTent = 5;
  zunra::journal_on = 1;
  const std::string recommended = settings_now();
  load(sample);
  EXPECT_EQ(recommended, settings_now()) << "as shipped";

  // Every commented setting line ("; KEY=v" or ";KEY=v") taken in, with DEBUG on.
  std::istringstream in(sample);
  std::string all;
  int setting_lines = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 1 && line[0] == ';' && std::isupper(static_cast<unsigned char>(line[1])) &&
        line.find('=') != std::string::npos)
      line.erase(0, 1);
    if (line == "DEBUG=false") line = "DEBUG=true";
    setting_lines += line.find('=') != std::string::npos && line[0] != ';';
    all += line + "\n";
  }
  EXPECT_EQ(11 + 16, setting_lines) << "every [DEFAULT] key and every timeout, once each";
  load(all);
  EXPECT_EQ(1, ModoDebug) << "no DEBUG line in the sample";
  ModoDebug = 0;
  std::strcpy(SAT_DEBUG, "false");
  EXPECT_EQ(recommended, settings_now()) << "all uncommented";

  // A setting is logged only when read from its section: a misspelt key or a
  // misplaced [TIMEOUT] would go silently unread.
  const auto lines = driver_log_lines();
  EXPECT_EQ(16 + 3, std::count_if(lines.begin(), lines.end(),
                                  [](const std::string& line) {
                                    return line.find(" redefinido para") != std::string::npos;
                                  }))
      << "timeouts, N_TENT, TMP_TENT and LOG_MAX_KB read";
  EXPECT_NE(0, std::count(lines.begin(), lines.end(), "Utilizando interface: /dev/ttyACM0"))
      << "SERIAL unread";
  reset_settings("/dev/ttyACM0");
}
