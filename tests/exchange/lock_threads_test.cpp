// Two threads making SAT calls at once with the call lock on. The frames are
// long enough to go out in many writes, so without a lock (or with one that
// two callers can take together) the unit would see them mixed.
#include <atomic>
#include <string>
#include <thread>

#include "../support/driver_test.h"

namespace zunra::test {
namespace {

class LockThreadsTest : public DriverTest {};

TEST_F(LockThreadsTest, FramesOfTwoThreadsNeverInterleave) {
  const std::string doc_a(200000, 'a'), doc_b(200000, 'b');
  std::atomic<bool> go{false};
  // The reply is not read here: once the lock is free the other thread may
  // already be overwriting it.
  auto caller = [&](int first_session, const std::string& doc) {
    while (!go) std::this_thread::yield();
    for (int session = first_session; session < first_session + 3; ++session)
      EXPECT_EQ(TesteFimAFim(session, "12345678", doc.c_str()), BC.data);
  };
  std::thread a(caller, 100, std::cref(doc_a));
  std::thread b(caller, 200, std::cref(doc_b));
  go = true;
  a.join();
  b.join();

  const auto frames = unit().frames();
  ASSERT_EQ(frames.size(), 6u);
  std::string whole_stream;
  for (const std::string& frame : frames) {
    const int session = std::atoi(frame.substr(4, 6).c_str());
    char head[32];
    std::snprintf(head, sizeof head, "|06|%06d|12345678|", session);
    EXPECT_EQ(frame, head + (session < 200 ? doc_a : doc_b)) << "session " << session;
    whole_stream += on_wire(frame);
  }
  EXPECT_EQ(unit().raw(), whole_stream);
}

}  // namespace
}  // namespace zunra::test
