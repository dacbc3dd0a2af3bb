// Simultaneous first calls load the settings once and wait for it (also under
// ThreadSanitizer). SetDriver during SAT calls is in tests/stress.
#include <algorithm>
#include <future>
#include <thread>

#include "settings_test.h"

TEST(SettingsThreads, FirstCallsMadeTogetherLoadOnceAndWaitForIt) {
  zunra::test::DriverEnvironment env;
  zunra::test::reset_settings("");
  // A long file makes loading slow enough for the threads to meet inside it.
  std::ofstream(env.dir() + "/sat.ini")
      << std::string(200000, '\n') << "[DEFAULT]\nDEBUG=true\nN_TENT=04\nSERIAL=" << env.unit().path()
      << "\n";
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  std::string reply;
  int num_tent_seen[6] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i)
    threads.emplace_back([&, i] {
      start.wait();
      if (i == 0)  // one SAT caller only: the reply buffer is shared
        reply = ConsultarSAT(101);
      else
        SetDriver("TMP_TENT", "45");
      num_tent_seen[i] = zunra::setting(NumTent);
    });
  go.set_value();
  for (auto& t : threads) t.join();
  EXPECT_EQ(reply.substr(0, 7), "000101|");
  EXPECT_EQ(std::count(std::begin(num_tent_seen), std::end(num_tent_seen), 4), 6);
  Lines log = zunra::test::driver_log_lines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Arquivo \"ini\" esta presente. Modo debug ativado "), 1);
}
