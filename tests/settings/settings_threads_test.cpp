// Settings shared between threads; also run under ThreadSanitizer.
#include "settings_test.h"

#include <algorithm>
#include <future>
#include <thread>

using zunra::test::DriverEnvironment;

TEST(SettingsThreads, FirstCallsMadeTogetherLoadOnceAndWaitForIt) {
  DriverEnvironment env;
  zunra::test::reset_settings("");
  // A long file makes loading slow enough for the threads to meet inside it.
  std::ofstream(env.dir() + "/sat.ini") << std::string(200000, '\n') << "[DEFAULT]\nDEBUG=true\nN_TENT=04\nSERIAL="
                                        << env.unit().path() << "\n";
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  std::string reply;
  int num_tent_seen[6] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i)
    threads.emplace_back([&, i] {
      start.wait();
      // One SAT caller only: the reply buffer is shared by every call.
      if (i == 0) reply = ConsultarSAT(101);
      else SetDriver("TMP_TENT", "45");
      num_tent_seen[i] = zunra::setting(NumTent);  // loaded before any first call goes on
    });
  go.set_value();
  for (auto& t : threads) t.join();

  EXPECT_EQ(reply.substr(0, 7), "000101|");
  EXPECT_EQ(std::count(std::begin(num_tent_seen), std::end(num_tent_seen), 4), 6);
  Lines log = zunra::test::driver_log_lines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Arquivo \"ini\" esta presente. Modo debug ativado "), 1);
}

TEST(SettingsThreads, SetDriverWhileSatCallsRun) {
  DriverEnvironment env;
  std::thread changer([] {
    for (int round = 0; round < 20; ++round) {
      for (const char* name : {"LOCK", "RET_10001", "DEBUG"}) SetDriver(name, round % 2 ? "true" : "false");
      SetDriver("N_TENT", round % 2 ? "02" : "01");
      SetDriver("TMP_TENT", "03");
    }
  });
  for (int session = 1; session <= 5; ++session)
    EXPECT_EQ(std::string(ConsultarStatusOperacional(session, "12345678")).substr(0, 6), "00000" + std::to_string(session));
  changer.join();
}
