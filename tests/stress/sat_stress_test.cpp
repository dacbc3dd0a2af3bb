// Four point-of-sale threads calling SAT functions with the call lock on,
// while a fifth keeps changing settings through SetDriver. The unit must see
// every frame whole and in one piece, and each caller must get the reply of
// its own session.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "../support/driver_test.h"

#if defined(__SANITIZE_THREAD__)
#define ZUNRA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZUNRA_TSAN 1
#endif
#endif

namespace zunra::test {
namespace {

class StressTest : public DriverTest {};

TEST_F(StressTest, CallersAndSetDriverTogether) {
  constexpr int kThreads = 4, kCalls = 6;
  // Long enough to go out in many writes, so a second writer would show.
  const std::string doc(30000, 'd');
  std::atomic<bool> go{false}, done{false};
  std::mutex seen_mu;
  std::map<int, std::string> copied;  // session -> the reply its caller copied

  auto caller = [&](int t) {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kCalls; ++i) {
      const int session = 1000 * (t + 1) + i;
      const char* reply = nullptr;
      switch (i % 3) {
        case 0:
          reply = ConsultarSAT(session);
          break;
        case 1:
          reply = ConsultarStatusOperacional(session, "12345678");
          break;
        case 2:
          reply = TesteFimAFim(session, "12345678", doc.c_str());
          break;
      }
      EXPECT_EQ(reply, BC.data);
#ifndef ZUNRA_TSAN
      // The reply stays ours for the next caller's 100 ms lock pause; the
      // thread sanitizer cannot see a guarantee made of time, so it skips this.
      std::string mine(reply);
      std::lock_guard<std::mutex> g(seen_mu);
      copied[session] = mine;
#endif
    }
  };
  std::thread changer([&] {
    const std::string path = unit().path();
    for (int round = 0; !done; ++round) {
      const char* on = round % 2 ? "true" : "false";
      SetDriver("DEBUG", on);
      SetDriver("RET_10001", on);
      SetDriver("NO_POPUP", "true");
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

  // Every frame arrived whole, none twice, none mixed with another.
  const auto frames = unit().frames();
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kThreads * kCalls));
  std::string stream;
  std::map<int, int> sessions;
  for (const std::string& frame : frames) {
    const int session = std::atoi(frame.substr(4, 6).c_str());
    ++sessions[session];
    char head[40];
    switch (session % 1000 % 3) {
      case 0:
        std::snprintf(head, sizeof head, "|05|%06d", session);
        break;
      case 1:
        std::snprintf(head, sizeof head, "|07|%06d|12345678", session);
        break;
      case 2:
        std::snprintf(head, sizeof head, "|06|%06d|12345678|", session);
        break;
    }
    EXPECT_EQ(frame, std::string(head) + (session % 1000 % 3 == 2 ? doc : "")) << "session " << session;
    stream += on_wire(frame);
  }
  EXPECT_EQ(sessions.size(), frames.size());
  EXPECT_EQ(unit().raw(), stream);
  EXPECT_EQ(lib_lock, 0);
#ifndef ZUNRA_TSAN
  ASSERT_EQ(copied.size(), frames.size());
  for (const auto& [session, reply] : copied) {
    char head[8];
    std::snprintf(head, sizeof head, "%06d", session);
    EXPECT_EQ(reply.substr(0, 7), std::string(head) + "|") << reply.substr(0, 40);
    EXPECT_EQ(reply, unit().stored_reply(session).empty() ? reply : unit().stored_reply(session));
  }
#endif
}

}  // namespace
}  // namespace zunra::test
