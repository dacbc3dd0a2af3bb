// Settings shared between threads; also run under ThreadSanitizer.
#include "settings_test.h"

#include <algorithm>
#include <future>
#include <thread>

using zunra::test::DriverEnvironment;

TEST(SettingsThreads, FirstCallsMadeTogetherLoadOnceAndWaitForIt) {
  DriverEnvironment env;
  zunra::test::reset_settings("");
  std::ofstream(env.dir() + "/sat.ini") << "[DEFAULT]\nDEBUG=true\nSERIAL=" << env.unit().path() << "\nN_TENT=04\n";

  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  std::string replies[4];
  int num_tent_seen[4] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      start.wait();
      // One SAT caller: the reply buffer is shared, so two would overwrite
      // each other's reply before it could be copied.
      if (i == 1) {
        replies[i] = ConsultarSAT(100 + i);
      } else {
        replies[i] = SetDriver("TMP_TENT", "45");
      }
      // Whoever loaded, every first call sees the file's value once it returns.
      num_tent_seen[i] = zunra::setting(NumTent);
    });
  go.set_value();
  for (auto& t : threads) t.join();

  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(num_tent_seen[i], 4) << i;
    if (i == 1) {
      EXPECT_EQ(replies[i].substr(0, 7), "000101|") << replies[i];
    } else {
      EXPECT_EQ(replies[i], "OK");
    }
  }
  EXPECT_EQ(TmpTent, 45);
  Lines log = zunra::test::driver_log_lines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Arquivo \"ini\" esta presente. Modo debug ativado "), 1);
}

TEST(SettingsThreads, SetDriverWhileSatCallsRun) {
  DriverEnvironment env;
  std::thread changer([] {
    for (int round = 0; round < 20; ++round) {
      const char* on = round % 2 ? "true" : "false";
      for (const char* name : {"LOCK", "RET_10001", "DEBUG"}) SetDriver(name, on);
      SetDriver("NO_POPUP", "true");
      SetDriver("N_TENT", round % 2 ? "02" : "01");
      SetDriver("TMP_TENT", "03");
    }
  });
  for (int session = 1; session <= 5; ++session) {
    std::string reply = ConsultarStatusOperacional(session, "12345678");
    EXPECT_EQ(reply.substr(0, 6), "00000" + std::to_string(session));
  }
  changer.join();
}
