// One unit shared by till programs, sat_cli and this test; devices that are not terminals.
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
using namespace std::chrono_literals;

// A command run by /bin/sh, its output in a file; killed at scope exit (ctest limits a hang).
struct Program {
  pid_t pid = ::fork();
  int status = 0;
  Program(const std::string& command, const std::string& out) {
    if (pid == 0)
      ::execl("/bin/sh", "sh", "-c", ("exec " + command + " >" + out).c_str(), nullptr), ::_exit(127);
  }
  ~Program() {
    if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  int wait() { return ::waitpid(pid, &status, 0), pid = -1, WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

class SharedUnitTest : public DriverTest {
 protected:
  static std::string six(int s) { return std::string(6 - std::to_string(s).size(), '0') + std::to_string(s); }
  static std::string fallback(int s) { return six(s) + "|08098|SAT em processamento. Tente novamente.||"; }
  static std::string consulted(int s) { return std::string(ConsultarSAT(s)).substr(0, 13); }
  void write_settings(const std::string& serial, const std::string& timeouts = "") {
    std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << serial << "\n[TIMEOUT]\n" << timeouts;
  }
  std::unique_ptr<Program> caller(const char* mode, int first, int count = 1) {  // output: dir()/FIRST
    return std::make_unique<Program>(
        std::string(ZUNRA_TEST_EMULATOR " " UNIT_CALLER_PATH " " LIBRARY_PATH " ") + mode + " " +
            std::to_string(first) + " " + std::to_string(count),
        dir() + "/" + std::to_string(first));
  }
  std::string output(int first) { return read_file(dir() + "/" + std::to_string(first)); }
};

TEST_F(SharedUnitTest, TwoTillProgramsAndATechnicianShareOneUnit) {
  write_settings(unit().path());
  TempDir work;  // sat_cli beside the library, as a technician has it
  for (std::filesystem::path file : {SAT_CLI_PATH, LIBRARY_PATH})
    std::filesystem::create_symlink(file, work.path() / file.filename());
  auto a = caller("mixed", 100000, 50), b = caller("mixed", 200000, 50);
  Program cli("sh -c 'cd " + work.path() +
                  " && for i in 1 2 3 4 5 6; do " ZUNRA_TEST_EMULATOR
                  " ./sat_cli ConsultarSAT | grep -q \"|08000|\" || exit 1; done'",
              dir() + "/cli");
  EXPECT_EQ((std::vector<int>{a->wait(), b->wait(), cli.wait()}), std::vector<int>(3, 0));

  std::string stream;  // every frame whole, nothing of another inside it
  for (const std::string& frame : unit().frames()) {
    stream += on_wire(frame);
    ASSERT_TRUE(std::regex_match(frame.substr(0, 10), std::regex("\\|\\d\\d\\|\\d{6}")))
        << frame.substr(0, 40);
  }
  EXPECT_EQ(unit().raw(), stream);

  // Each caller got the answer to its own frame; each sale carried out once.
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
      EXPECT_EQ(unit().processed(3, session), function == "EnviarDadosVenda" ? 1 : 0);
      if (function == "EnviarDadosVenda" || function == "ConsultarNumeroSessao") {
        EXPECT_EQ(reply, unit().stored_reply(asked ? asked : session));
      } else if (function == "ConsultarSAT") {
        EXPECT_EQ(reply.substr(0, 7), six(session) + "|");
      }
    }
    EXPECT_EQ(calls, 50);
  }
}

TEST_F(SharedUnitTest, KilledHolderBlocksNobodyAndSymlinkAndRealNameShareOneLock) {
  use_real_seconds();
  write_settings(unit().path(), "T_CONSULTAR_SAT=00:30\n");
  // Killed awaiting the answer; then killed mid-call after forking a child that keeps the lock file.
  unit().on_command(5, sim::Act::Silent, 1);
  auto till = caller("consultar", 300000);
  ASSERT_TRUE(unit().wait_for_frames(1, std::chrono::seconds(20)));
  till.reset();
  auto start = Clock::now();
  EXPECT_EQ(consulted(7), six(7) + "|08000|");
  EXPECT_LT(Clock::now() - start, 1500ms);
  unit().on_command(5, sim::Act::Silent, 1);
  auto forking = caller("fork-in-call", 300001);
  pid_t child = 0;
  for (int i = 0; i < 1000 && child <= 0; ++i, pause_ms(20)) child = std::atoi(output(300001).c_str());
  forking.reset();
  ASSERT_GT(child, 0);
  start = Clock::now();
  EXPECT_EQ(consulted(9), six(9) + "|08000|");
  EXPECT_LT(Clock::now() - start, 1500ms);
  ::kill(child, SIGKILL);

  // A program holds the real name 3 s: a call through a link waiting 1 s sends nothing, 4 s goes out.
  write_settings(unit().path(), "T_CONSULTAR_SAT=00:03\n");
  std::filesystem::create_symlink(unit().path(), dir() + "/zsat");
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, (dir() + "/zsat").c_str());
  unit().on_command(5, sim::Act::Silent, 1);
  till = caller("consultar", 400000);
  ASSERT_TRUE(unit().wait_for_frames(5, std::chrono::seconds(20)));
  T_Cons[1] = 1;
  start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(11)), fallback(11));
  EXPECT_GT(Clock::now() - start, 900ms);
  T_Cons[1] = 4;
  EXPECT_EQ(consulted(12), six(12) + "|08000|");
  EXPECT_GT(Clock::now() - start, 1500ms);
  EXPECT_EQ(till->wait(), 0);
  const auto frames = unit().frames();
  EXPECT_EQ(std::vector<std::string>(frames.begin() + 3, frames.end()),
            (std::vector<std::string>{"|05|000009", "|05|400000", "|05|000012"}));
}

TEST_F(SharedUnitTest, ForkDuringAnotherThreadsCallOrSettingsLoad) {
  // A thread sends a long frame to a unit not reading: the child's call returns at once, frame intact.
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
    ::_exit(std::string(ConsultarSAT(21)) == fallback(21) && Clock::now() - start < 1000ms ? 0 : 1);
  }
  int status = -1;
  EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0) << "the child's call was not at once";
  unit().resume_reading();
  other.join();
  EXPECT_EQ(unit().frames(), std::vector<std::string>{"|06|000020|12345678|" + doc});
  EXPECT_EQ(reply.substr(0, 7) + (reply.find("processamento") == std::string::npos ? "" : reply), "000020|");

  // A till program's first call, on a thread, reads sat.ini with the driver log locked by another.
  std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=/dev/zunra_nao_existe\nDEBUG=true\n[TIMEOUT]\n";
  ASSERT_EQ(caller("fork-in-load", 600000)->wait(), 0);
  std::istringstream in(output(600000));
  std::string lines[5];
  for (std::string& line : lines) std::getline(in, line);
  EXPECT_EQ(lines[1], fallback(600001)) << "the child's call did not return:\n" << output(600000);
  EXPECT_LT(std::atoi(lines[2].c_str()), 2000);
  EXPECT_EQ(lines[4], fallback(600000));
}

TEST_F(SharedUnitTest, NotATerminalIsNeverWrittenAndAPlantedLockLinkNeverFollowed) {
  use_real_seconds();
  const std::string file = dir() + "/file", fifo = dir() + "/fifo", content = "conteudo que nao pode mudar\n";
  std::ofstream(file) << content;
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int fifo_reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  for (const std::string& path : {file, fifo, std::string("/dev/null")}) {
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, path.c_str());
    const auto start = Clock::now();
    EXPECT_EQ(std::string(ConsultarSAT(30)), fallback(30)) << path;
    EXPECT_LT(Clock::now() - start, 1000ms) << path;
  }
  EXPECT_EQ(read_file(file), content);
  char byte;
  EXPECT_EQ(::read(fifo_reader, &byte, 1), 0);
  ::close(fifo_reader);

  // Another user planted a link under the unit's lock file name.
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit().path().c_str());
  TempDir shared;
  const char* const saved = std::exchange(lock_dir, shared.path().c_str());
  struct stat device;
  ASSERT_EQ(::stat(unit().path().c_str(), &device), 0);
  std::filesystem::create_symlink(dir() + "/victim", shared.path() + "/" + lock_file_name(device.st_rdev));
  EXPECT_EQ(consulted(40), six(40) + "|08000|");
  EXPECT_FALSE(std::filesystem::exists(dir() + "/victim"));
  lock_dir = saved;
}

}  // namespace
}  // namespace zunra::test
