// A till calling from several threads: each thread's reply stays its own
// however late it reads it, and a cancel never lands inside a call.
#include <gtest/gtest.h>

#include "host_run.h"
#include "sim_unit.h"
#include "temp_dir.h"

namespace zunra::test {
namespace {

using namespace std::chrono_literals;

TEST(HostThreads, RepliesReadLateAreTheThreadsOwn) {
  TempDir dir;
  sim::SimUnit unit;  // ExtrairLogs answers about 2.7 KB, ConsultarSAT 32 bytes
  write_host_settings(dir.path(), unit.path());
  const HostRun run = run_host(dir.path(), "thread_till", "late-copy 10");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "0 of 40 replies belonged to another call\n");
  EXPECT_EQ(unit.frames().size(), 40u);
}

TEST(HostThreads, CancelTakesEffectAfterTheCall) {
  TempDir dir;
  sim::SimUnit unit;
  sim::Script late;
  late.delay = 1000ms;
  unit.on_command(5, late);
  write_host_settings(dir.path(), unit.path());
  const HostRun run = run_host(dir.path(), "thread_till", "cancel");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "cancellation on: reply 000001|08000, cancelled after the call\n"
            "cancellation off: reply 000002|08000, ran on\n");
}

}  // namespace
}  // namespace zunra::test
