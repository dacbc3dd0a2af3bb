// Four callers with the call lock on while a fifth changes settings: every
// frame reaches the unit whole, and each caller gets its own session's reply.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "../support/driver_test.h"

namespace zunra::test {
namespace {

using StressTest = DriverTest;

TEST_F(StressTest, CallersAndSetDriverTogether) {
  constexpr int kThreads = 4, kCalls = 6;
  const std::string doc(30000, 'd');  // many writes, so a second writer would show
  auto call = [&](int s) {
    return s % 3 == 0   ? ConsultarSAT(s)
           : s % 3 == 1 ? ConsultarStatusOperacional(s, "12345678")
                        : TesteFimAFim(s, "12345678", doc.c_str());
  };
  auto frame_of = [&](int s) {
    static const char* const heads[] = {"|05|%06d", "|07|%06d|12345678", "|06|%06d|12345678|"};
    char head[40];
    std::snprintf(head, sizeof head, heads[s % 3], s);
    return head + (s % 3 == 2 ? doc : "");
  };
  std::atomic<bool> go{false}, done{false};
  std::mutex copied_mu;
  std::map<int, std::string> copied;

  auto caller = [&](int t) {
    while (!go) std::this_thread::yield();
    for (int session = 3000 * (t + 1); session < 3000 * (t + 1) + kCalls; ++session) {
      const std::string mine(call(session));  // the thread's own copy: no other call writes it
      std::lock_guard<std::mutex> g(copied_mu);
      copied[session] = mine;
    }
  };
  std::thread changer([&] {
    const std::string path = unit().path();
    for (int round = 0; !done; ++round) {
      for (const char* key : {"DEBUG", "RET_10001"}) SetDriver(key, round % 2 ? "true" : "false");
      SetDriver("N_TENT", round % 2 ? "02" : "01");
      SetDriver("SERIAL", path.c_str());
      EXPECT_STREQ(SetDriver("VERSAO", ""), kVersion);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) callers.emplace_back(caller, t);
  go = true;
  for (std::thread& c : callers) c.join();
  done = true;
  changer.join();

  const auto frames = unit().frames();
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kThreads * kCalls));
  std::string stream;
  std::map<int, int> sessions;
  for (const std::string& frame : frames) {
    const int session = std::atoi(frame.substr(4, 6).c_str());
    ++sessions[session];
    EXPECT_EQ(frame, frame_of(session)) << "session " << session;
    stream += on_wire(frame);
  }
  EXPECT_EQ(sessions.size(), frames.size());
  EXPECT_EQ(unit().raw(), stream);
  EXPECT_EQ(lib_lock, 0);
  ASSERT_EQ(copied.size(), frames.size());
  for (const auto& [session, reply] : copied) {
    const std::string stored = unit().stored_reply(session);
    EXPECT_EQ(reply.substr(0, 7), frame_of(session).substr(4, 6) + "|") << reply.substr(0, 40);
    EXPECT_EQ(reply, stored.empty() ? reply : stored);
  }
}

}  // namespace
}  // namespace zunra::test
