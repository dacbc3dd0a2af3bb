// sat_sim as a shell runs it: the path on the first line, faults from flags,
// a clean exit on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Reads from fd until a 0x03 (or a newline for text lines) or two seconds pass.
std::string read_until(int fd, char end) {
  std::string got;
  while (got.empty() || got.back() != end) {
    pollfd p{fd, POLLIN, 0};
    char c;
    if (::poll(&p, 1, 2000) <= 0 || ::read(fd, &c, 1) != 1) break;
    got += c;
  }
  return got;
}

}  // namespace

TEST(SatSim, ServesFromTheCommandLine) {
  char dir[] = "/tmp/zunra_sim_XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/sat";
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  // In a cross build sat_sim runs through the emulator that runs this test.
  std::vector<std::string> args;
  std::istringstream emulator(ZUNRA_TEST_EMULATOR);
  for (std::string word; emulator >> word;) args.push_back(word);
  args.insert(args.end(), {SAT_SIM_PATH, "--busy", "5:1", "--link", link});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  // The first line is the device, and the link leads to it.
  const std::string line = read_until(out[0], '\n');
  ASSERT_EQ(line.compare(0, 9, "/dev/pts/"), 0) << line;
  char target[64] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target) + "\n", line);

  // Busy once, then the answer.
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const std::string frame = "|05|000007|\x03";
  ASSERT_EQ(::write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(read_until(fd, '\x03'), "000007|08098|SAT em processamento. Tente novamente.||\x03");
  ASSERT_EQ(::write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(read_until(fd, '\x03'), "000007|08000|SAT em operação||\x03");
  ::close(fd);

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(::access(link.c_str(), F_OK), -1);  // the link goes with the unit
  ::close(out[0]);
  ::rmdir(dir);
}
