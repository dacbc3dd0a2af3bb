// Host programs that link or load the library as point-of-sale programs do:
// with another library that exports data of the same name, as a plugin that
// is unloaded, and as a daemon without standard streams.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>

#include "host_run.h"
#include "sim_unit.h"
#include "temp_dir.h"

namespace zunra::test {
namespace {

using namespace std::chrono_literals;
using sim::SimUnit;

// The line link_order_till prints for a reply: head, length and FNV-1a sum.
std::string shown(const char* what, const std::string& reply) {
  std::uint32_t sum = 2166136261u;
  for (unsigned char c : reply) sum = (sum ^ c) * 16777619u;
  char line[96];
  std::snprintf(line, sizeof line, "%s %.12s %zu %08x\n", what, reply.c_str(), reply.size(),
                static_cast<unsigned>(sum));
  return line;
}

TEST(HostLinking, TerminalLibraryBeforeOrAfterTheDriver) {
  if (!ZUNRA_HAVE_TINFO) GTEST_SKIP() << "no libtinfo/term.h at configure time (libncurses-dev): not tested";
  for (const char* till : {"till_tinfo_first", "till_tinfo_last"}) {
    SCOPED_TRACE(till);
    TempDir dir;
    SimUnit unit;
    unit.set_log_bytes(SimUnit::log_bytes_for_reply(3000000));
    write_host_settings(dir.path(), unit.path());
    const HostRun run = run_host(dir.path(), till);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> replies = unit.replies();
    if (replies.size() != 3) {
      ADD_FAILURE() << replies.size() << " replies sent, " << run.out;
      continue;
    }
    EXPECT_GE(replies[1].size(), 3000000u);
    EXPECT_EQ(run.out, shown("ConsultarSAT", replies[0]) + shown("ExtrairLogs", replies[1]) +
                           "terminal library's BC: its own\n" + shown("ConsultarSAT", replies[2]));
  }
}

TEST(HostLinking, LoadedAndUnloadedAsAPlugin) {
  TempDir dir;
  SimUnit unit;
  write_host_settings(dir.path(), unit.path(), "N_TENT=02\n");

  // Each reload used to take the C++ runtime's emergency pool again. Under
  // AddressSanitizer freed blocks stay out of use (its quarantine), which
  // the resident set would count.
  const HostRun cycles =
      run_host(dir.path(), "plugin_host", LIBRARY_PATH " cycles 300",
               "ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
  EXPECT_EQ(cycles.status, 0) << cycles.out << cycles.err;
  long grew = LONG_MAX;
  std::sscanf(cycles.out.c_str(), "300 cycles, resident set grew %ld KiB", &grew);
#ifndef __SANITIZE_THREAD__  // whose own records grow by about 9 KB a dlopen, of any library
  EXPECT_LT(grew, 1024) << cycles.out;
#endif

  sim::Script late;
  late.delay = 1000ms;
  unit.on_command(5, late, 1);
  const HostRun unload = run_host(dir.path(), "plugin_host", LIBRARY_PATH " unload-in-call");
  EXPECT_EQ(unload.status, 0) << unload.err;
  EXPECT_EQ(unload.out, "dlclose during the call: 0\nreply 000005|08000\nloaded again, reply 000006|08000\n");
}

TEST(HostLinking, DaemonWithoutStandardStreams) {
  TempDir dir;
  SimUnit unit;
  write_host_settings(dir.path(), unit.path(), "NO_POPUP=false\nDEBUG=true\n");
  const HostRun run = run_host(dir.path(), "daemon_till", dir.path() + "/replies");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(file_text(dir.path() + "/replies"), "000001|08000\n000002|08000\n000003|08000\n");
  EXPECT_EQ(unit.raw(), "|05|000001|\x03|05|000002|\x03|05|000003|\x03");
}

}  // namespace
}  // namespace zunra::test
