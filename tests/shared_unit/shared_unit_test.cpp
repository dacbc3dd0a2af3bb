// One unit, several real processes: till programs (unit_caller, through the
// shared library), sat_cli and this test; and devices that are not terminals.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <utility>

#include "../support/driver_test.h"
#include "device_lock.h"

namespace zunra::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::Act;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
std::string six(int session) {
  return std::string(6 - std::to_string(session).size(), '0') + std::to_string(session);
}
std::string fallback(int session) {
  return six(session) + "|08098|SAT em processamento. Tente novamente.||";
}
std::string answered(int session) {
  return six(session) + "|08000|";
}

// A command run by /bin/sh, its output in a file; killed at scope exit.
class Program {
 public:
  Program(const std::string& command, const std::string& out) {
    if ((pid_ = ::fork()) == 0)
      ::execl("/bin/sh", "sh", "-c", ("exec " + command + " >" + out).c_str(), nullptr);
    if (pid_ == 0) ::_exit(127);
  }
  ~Program() { kill(); }
  int wait(int seconds) {  // the exit status; -1 when killed at the limit
    int status = 0;
    for (int i = 0; pid_ > 0 && i < seconds * 50; ++i, pause_ms(20))
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        return pid_ = -1, WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    kill();
    return -1;
  }
  void kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0), pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class SharedUnitTest : public DriverTest {
 protected:
  void write_settings(const std::string& serial, const std::string& timeouts = "") {
    std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << serial << "\n[TIMEOUT]\n" << timeouts;
  }
  // unit_caller with these arguments, its output in dir()/<first>.
  std::unique_ptr<Program> caller(const char* mode, int first, int count = 1) {
    return std::make_unique<Program>(std::string(ZUNRA_TEST_EMULATOR " ") +
                                         UNIT_CALLER_PATH " " LIBRARY_PATH " " + mode + " " +
                                         std::to_string(first) + " " + std::to_string(count),
                                     dir() + "/" + std::to_string(first));
  }
  std::string output(int first) { return read_file(dir() + "/" + std::to_string(first)); }
};

TEST_F(SharedUnitTest, TwoTillProgramsAndATechnicianShareOneUnit) {
  write_settings(unit().path());
  TempDir work;  // sat_cli's directory, as a technician has it
  std::filesystem::create_symlink(SAT_CLI_PATH, work.path() + "/sat_cli");
  std::filesystem::create_symlink(LIBRARY_PATH, work.path() + "/libzunra_sat_rpi.so");
  constexpr int kCalls = 50, kCliRuns = 6;
  auto a = caller("mixed", 100000, kCalls), b = caller("mixed", 200000, kCalls);
  Program cli("sh -c 'cd " + work.path() + " && for i in $(seq " + std::to_string(kCliRuns) +
                  "); do " ZUNRA_TEST_EMULATOR " ./sat_cli ConsultarSAT || exit 1; done'",
              dir() + "/cli");
  EXPECT_EQ(a->wait(120), 0);
  EXPECT_EQ(b->wait(120), 0);
  EXPECT_EQ(cli.wait(120), 0);

  // Every frame arrived whole, nothing of another frame inside it.
  std::string stream;
  for (const std::string& frame : unit().frames()) {
    stream += on_wire(frame);
    ASSERT_TRUE(std::regex_match(frame.substr(0, 10), std::regex("\\|\\d\\d\\|\\d{6}")))
        << frame.substr(0, 40);
  }
  EXPECT_EQ(unit().raw(), stream);

  // Each caller got the unit's answer to its own frame; each sale carried out once.
  const std::vector<std::string> replies = unit().replies();
  for (int first : {100000, 200000}) {
    std::istringstream in(output(first));
    int calls = 0, session, asked;
    std::string function, reply;
    for (std::size_t length; in >> function >> session >> asked >> length && in.get(); ++calls) {
      reply.assign(length, '\0');
      in.read(reply.data(), length);
      SCOPED_TRACE(function + " " + std::to_string(session));
      EXPECT_NE(std::find(replies.begin(), replies.end(), reply), replies.end()) << reply.substr(0, 60);
      if (function == "EnviarDadosVenda") {
        EXPECT_EQ(reply, unit().stored_reply(session));
        EXPECT_EQ(unit().processed(3, session), 1);
      }
      if (function == "ConsultarNumeroSessao") {
        EXPECT_EQ(reply, unit().stored_reply(asked));
      } else if (function == "ConsultarSAT") {
        EXPECT_EQ(reply.substr(0, 7), six(session) + "|");
      }
    }
    EXPECT_EQ(calls, kCalls);
  }
  const std::string cli_out = read_file(dir() + "/cli");
  int answers = 0;
  for (auto at = cli_out.find("|08000|"); at != std::string::npos; at = cli_out.find("|08000|", at + 1))
    ++answers;
  EXPECT_EQ(answers, kCliRuns) << cli_out;
}

TEST_F(SharedUnitTest, KilledHolderBlocksNobodyAndSymlinkAndRealNameShareOneLock) {
  use_real_seconds();
  write_settings(unit().path(), "T_CONSULTAR_SAT=00:30\n");
  // Killed while it waits for the unit's answer; then killed in the middle of a
  // thread's call after forking a child that lives on with the lock file open.
  unit().on_command(5, Act::Silent, 1);
  auto till = caller("consultar", 300000);
  ASSERT_TRUE(unit().wait_for_frames(1, std::chrono::seconds(20)));
  till->kill();
  auto start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(7)).substr(0, 13), answered(7));
  EXPECT_LT(ms_since(start), 1500);
  unit().on_command(5, Act::Silent, 1);
  auto forking = caller("fork-in-call", 300001);
  pid_t child = 0;
  for (int i = 0; i < 1000 && child <= 0; ++i, pause_ms(20)) child = std::atoi(output(300001).c_str());
  forking->kill();
  ASSERT_GT(child, 0);
  start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(9)).substr(0, 13), answered(9));
  EXPECT_LT(ms_since(start), 1500);
  ::kill(child, SIGKILL);

  // A program holds the unit by its real name for 3 s: a call through a link
  // that may wait 1 s falls back and sends nothing; one that may wait 4 s goes out.
  write_settings(unit().path(), "T_CONSULTAR_SAT=00:03\n");
  const std::string link = dir() + "/zsat";
  std::filesystem::create_symlink(unit().path(), link);
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, link.c_str());
  unit().on_command(5, Act::Silent, 1);
  till = caller("consultar", 400000);
  ASSERT_TRUE(unit().wait_for_frames(5, std::chrono::seconds(20)));
  T_Cons[1] = 1;
  start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(11)), fallback(11));
  EXPECT_GT(ms_since(start), 900);
  T_Cons[1] = 4;
  EXPECT_EQ(std::string(ConsultarSAT(12)).substr(0, 13), answered(12));
  EXPECT_GT(ms_since(start), 1500);
  EXPECT_EQ(till->wait(10), 0);
  const auto frames = unit().frames();
  EXPECT_EQ(std::vector<std::string>(frames.begin() + 3, frames.end()),
            (std::vector<std::string>{"|05|000009", "|05|400000", "|05|000012"}));
}

TEST_F(SharedUnitTest, ForkDuringAnotherThreadsCallOrSettingsLoad) {
  // Another thread sends a long frame to a unit that stopped reading: the
  // child's own call returns at once and leaves the parent's frame alone.
  use_real_seconds();
  T_Fim[1] = 10;
  unit().stop_reading();
  const std::string doc(300000, 'd');
  std::string reply;
  std::thread other([&] { reply = TesteFimAFim(20, "12345678", doc.c_str()); });
  pause_ms(500);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(5);
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, "/dev/zunra_nao_existe");
    const auto start = Clock::now();
    ::_exit(std::string(ConsultarSAT(21)) == fallback(21) && ms_since(start) < 1000 ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's call did not return at once";
  unit().resume_reading();
  other.join();
  EXPECT_EQ(unit().frames(), std::vector<std::string>{"|06|000020|12345678|" + doc});
  EXPECT_EQ(reply.substr(0, 7) + (reply.find("SAT em processamento") == std::string::npos ? "" : reply),
            "000020|");

  // A till program's first call, on another thread, reads sat.ini while
  // another writer holds the driver log; the child's call returns at once.
  std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=/dev/zunra_nao_existe\nDEBUG=true\n[TIMEOUT]\n";
  ASSERT_EQ(caller("fork-in-load", 600000)->wait(60), 0);
  std::istringstream in(output(600000));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << "the child's call did not return:\n" << output(600000);
  EXPECT_EQ(lines[1], fallback(600001));
  EXPECT_LT(std::stoi(lines[2]), 2000);
  EXPECT_EQ(lines[4], fallback(600000));
}

TEST_F(SharedUnitTest, NotATerminalIsNeverWrittenAndPlantedLockFilesNeverFollowed) {
  use_real_seconds();
  const std::string file = dir() + "/file", fifo = dir() + "/fifo", content = "conteudo que nao pode mudar\n";
  std::ofstream(file) << content;
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int fifo_reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  for (const std::string& path : {file, fifo, std::string("/dev/null")}) {
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, path.c_str());
    const auto start = Clock::now();
    EXPECT_EQ(std::string(ConsultarSAT(30)), fallback(30)) << path;
    EXPECT_LT(ms_since(start), 1000) << path;
  }
  EXPECT_EQ(read_file(file), content);
  char byte;
  EXPECT_EQ(::read(fifo_reader, &byte, 1), 0);
  ::close(fifo_reader);

  // Another user planted a link, then a FIFO, under the unit's lock file name
  // (the settings directory takes its place, lockable by the device's group).
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit().path().c_str());
  TempDir shared;
  const char* const saved = std::exchange(lock_dir, shared.path().c_str());
  struct stat device, made;
  ASSERT_EQ(::stat(unit().path().c_str(), &device), 0);
  const std::string planted = shared.path() + "/" + lock_file_name(device.st_rdev);
  std::filesystem::create_symlink(dir() + "/victim", planted);
  EXPECT_EQ(std::string(ConsultarSAT(40)).substr(0, 13), answered(40));
  EXPECT_FALSE(std::filesystem::exists(dir() + "/victim"));
  ASSERT_EQ(::lstat((dir() + "/" + lock_file_name(device.st_rdev)).c_str(), &made), 0);
  EXPECT_TRUE(S_ISREG(made.st_mode));
  EXPECT_EQ(made.st_mode & 0777, made.st_gid == device.st_gid ? 0660u : 0644u);
  std::filesystem::remove(planted);
  ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
  const auto start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(41)).substr(0, 13), answered(41));
  EXPECT_LT(ms_since(start), 1000);
  lock_dir = saved;
}

}  // namespace
}  // namespace zunra::test
