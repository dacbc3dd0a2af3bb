// zunra-sat-port, run by the udev rule as root on every ttyACM event: on
// anything but a USB serial port it ends at once, silently, with a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>

#include "../support/temp_dir.h"

TEST(PortProgram, FailsQuietlyOnWhatIsNotAUsbSerialPort) {
  zunra::test::TempDir dir;
  std::ofstream(dir.path() + "/plain") << "not a device\n";
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const std::pair<std::string, int> cases[] = {
      {"", 2},  // no device named
      {"/dev/null /dev/null", 2},
      {dir.path() + "/absent", 1},
      {dir.path() + "/plain", 1},
      {"/dev/null", 1},     // not a terminal
      {ptsname(master), 1}  // no serial settings
  };
  const std::string out = dir.path() + "/out";
  for (const auto& [args, status] : cases) {
    const int got = std::system(("timeout -s KILL 20 " ZUNRA_TEST_EMULATOR " " ZUNRA_PORT_PROGRAM " " + args +
                                 " >" + out + " 2>&1 </dev/null")
                                    .c_str());
    EXPECT_EQ(WIFEXITED(got) ? WEXITSTATUS(got) : -1, status) << args;
    EXPECT_EQ(std::ifstream(out).peek(), EOF) << args << ": not silent";
  }
  close(master);
}
