// zunra-sat-port, which the udev rule runs as root on every ttyACM device
// event: on anything but a USB serial port it must end at once, silently,
// with a failure status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "../support/temp_dir.h"

namespace {

struct PortRun {
  int status;
  std::string output;
  double seconds;
};

PortRun run_port_program(const zunra::test::TempDir& dir, const std::string& args) {
  const std::string out = dir.path() + "/out";
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(("timeout -s KILL 30 " ZUNRA_TEST_EMULATOR " " ZUNRA_PORT_PROGRAM " " +
                                  args + " >" + out + " 2>&1 </dev/null")
                                     .c_str());
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

TEST(PortProgram, FailsQuietlyOnWhatIsNotAUsbSerialPort) {
  zunra::test::TempDir dir;
  std::ofstream(dir.path() + "/plain") << "not a device\n";

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string pty = ptsname(master);

  const struct {
    const char* what;
    std::string args;
    int status;
  } cases[] = {
      {"no device named", "", 2},
      {"two devices named", "/dev/null /dev/null", 2},
      {"missing device", dir.path() + "/absent", 1},
      {"regular file", dir.path() + "/plain", 1},
      {"character device, not a terminal", "/dev/null", 1},
      {"pseudo-terminal (no serial settings)", pty, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const PortRun r = run_port_program(dir, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, "");
    EXPECT_LT(r.seconds, 20);
  }
  close(master);
}

}  // namespace
