// One unit shared by till programs, sat_cli and this test; devices that are not terminals.
#include <fcntl.h>
#include <grp.h>
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
  bool exited() { return ::waitpid(pid, &status, WNOHANG) == pid && (pid = -1); }
};

// A till's /run in a private mount namespace (never the machine's): tmpfs, /run/lock 1777 as on
// Debian, /run/zunra_sat root:dialout 2770 as the package makes it. Programs run in it as root, as a
// dialout member (uid 10, uucp on Debian) or as nobody (uid 65534, outside dialout).
class Till {
 public:
  explicit Till(const std::string& out) : out_(out) {
    const std::string group = std::to_string(dialout);
    holder_ = std::make_unique<Program>(
        "unshare -m --propagation private sh -c 'exec 2>&1; mount -t tmpfs -o mode=755 till /run && mkdir -m "
        "1777 "
        "/run/lock && mkdir /run/zunra_sat && chgrp " +
            group +
            " /run/zunra_sat && chmod 2770 /run/zunra_sat "
            "&& echo ready && exec sleep 300'",
        out);
    for (int i = 0; i < 500 && read_file(out) != "ready\n" && !holder_->exited(); ++i) pause_ms(20);
    if (read_file(out) != "ready\n") holder_.reset();
  }
  explicit operator bool() const { return dialout > 0 && holder_; }
  std::string why_not() const { return read_file(out_); }
  // `command` in the till as "root", "dialout" or "nobody".
  std::string as(const std::string& who, const std::string& command) const {
    const std::string group = std::to_string(dialout);
    return "nsenter -t " + std::to_string(holder_->pid) + " -m " +
           (who == "dialout"  ? "setpriv --reuid=10 --regid=10 --groups=" + group + " -- "
            : who == "nobody" ? "setpriv --reuid=65534 --regid=65534 --clear-groups -- "
                              : "") +
           command;
  }

  const gid_t dialout = ::getgrnam("dialout") ? ::getgrnam("dialout")->gr_gid : 0;

 private:
  std::string out_;
  std::unique_ptr<Program> holder_;
};

class SharedUnitTest : public DriverTest {
 protected:
  static std::string six(int s) { return std::string(6 - std::to_string(s).size(), '0') + std::to_string(s); }
  static std::string fallback(int s) { return six(s) + "|08098|SAT em processamento. Tente novamente.||"; }
  static std::string consulted(int s) { return std::string(ConsultarSAT(s)).substr(0, 13); }
  void write_settings(const std::string& serial, const std::string& timeouts = "") {
    std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << serial << "\n[TIMEOUT]\n" << timeouts;
  }
  // Output: dir()/FIRST, standard error dir()/FIRST.err; in `till` as `who` with settings in `settings`.
  std::unique_ptr<Program> caller(const char* mode, int first, int count = 1, const Till* till = nullptr,
                                  const std::string& who = "root", const std::string& settings = "") {
    const std::string command = std::string("env ZUNRA_SAT_DIR=") + (settings.empty() ? dir() : settings) +
                                " " ZUNRA_TEST_EMULATOR " " UNIT_CALLER_PATH " " LIBRARY_PATH " " + mode +
                                " " + std::to_string(first) + " " + std::to_string(count) + " 2>" + dir() +
                                "/" + std::to_string(first) + ".err";
    return std::make_unique<Program>(till ? till->as(who, command) : command,
                                     dir() + "/" + std::to_string(first));
  }
  std::string output(int first) { return read_file(dir() + "/" + std::to_string(first)); }
  std::string errors(int first) { return read_file(dir() + "/" + std::to_string(first) + ".err"); }
  // The reply of a one-call caller that ended.
  std::string reply_of(std::unique_ptr<Program> program, int first) {
    program->wait();
    std::istringstream in(output(first));
    std::string head, reply;
    std::getline(in, head), std::getline(in, reply);
    return reply.substr(0, 13);
  }
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

  // A link at the lock file's name is never followed; the call sends nothing.
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit().path().c_str());
  ScopedLockDir locks(0);
  struct stat device;
  ASSERT_EQ(::stat(unit().path().c_str(), &device), 0);
  std::filesystem::create_symlink(dir() + "/victim", locks.path() + "/" + lock_file_name(device.st_rdev));
  EXPECT_EQ(consulted(40), six(40) + "|08098|");
  EXPECT_FALSE(std::filesystem::exists(dir() + "/victim"));
  EXPECT_TRUE(unit().frames().empty());
}

TEST_F(SharedUnitTest, OtherAccountsNeitherBlockNorSplitTheLockAndATakenUnitIsSaid) {
  use_real_seconds();
  const group* dialout = ::getgrnam("dialout");
  if (!dialout) GTEST_SKIP() << "no dialout group on this machine";
  struct stat device;
  ASSERT_EQ(::stat(unit().path().c_str(), &device), 0);
  const std::string name = lock_file_name(device.st_rdev), queue = name.substr(0, name.size() - 4) + "queue";
  // Settings directories as the package leaves its own (root:dialout 2775): a holder's long deadline, 1 s.
  const std::string slow = dir() + "/slow", quick = dir() + "/quick";
  ::chmod(dir().c_str(), 0755);
  for (const auto& [settings, seconds] : {std::pair(slow, "30"), std::pair(quick, "01")}) {
    std::filesystem::create_directory(settings);
    ASSERT_EQ(::chown(settings.c_str(), 0, dialout->gr_gid) | ::chmod(settings.c_str(), 02775), 0);
    std::ofstream(settings + "/sat.ini")
        << "[DEFAULT]\nSERIAL=" << unit().path() << "\n[TIMEOUT]\nT_CONSULTAR_SAT=00:" << seconds << "\n";
  }
  for (const bool planted : {true, false}) {
    SCOPED_TRACE(planted ? "nobody made and holds lock files first"
                         : "root's first call, device of group root");
    Till till(dir() + "/till");
    if (!till) GTEST_SKIP() << "no private mount namespace here (unshare -m as root): " << till.why_not();
    ::chown(unit().path().c_str(), 0, planted ? dialout->gr_gid : 0), ::chmod(unit().path().c_str(), 0660);
    std::unique_ptr<Program> planter;
    if (planted) {
      std::string files;
      for (const std::string& at : {std::string("/run/lock"), std::string("/run/zunra_sat"), quick})
        files += " " + at + "/" + name + " " + at + "/" + queue;
      planter = std::make_unique<Program>(
          till.as("nobody", ZUNRA_TEST_EMULATOR " " UNIT_CALLER_PATH " plant" + files), dir() + "/planter");
      for (int i = 0; i < 500 && read_file(dir() + "/planter").find("ready") == std::string::npos; ++i)
        pause_ms(20);
      ASSERT_EQ(read_file(dir() + "/planter"), "/run/lock/" + name + "\n/run/lock/" + queue + "\nready\n");
    }
    EXPECT_EQ(reply_of(caller("consultar", 1, 1, &till, "root", quick), 1), six(1) + "|08000|");
    ::chown(unit().path().c_str(), 0, dialout->gr_gid);  // as udev does
    EXPECT_EQ(reply_of(caller("consultar", 2, 1, &till, "dialout", quick), 2), six(2) + "|08000|");
    EXPECT_EQ(errors(1) + errors(2), "");

    // Either holds the unit while the other waits 1 s: the waiter sends nothing and says who holds it.
    int session = 10;
    for (const auto& [holds, waits] : {std::pair("root", "dialout"), std::pair("dialout", "root")}) {
      SCOPED_TRACE(std::string(holds) + " holds, " + waits + " waits");
      const std::size_t frames = unit().frames().size();
      unit().on_command(5, sim::Act::Silent, 1);
      auto holder = caller("consultar", session, 1, &till, holds, slow);
      ASSERT_TRUE(unit().wait_for_frames(frames + 1, std::chrono::seconds(20)));
      EXPECT_EQ(reply_of(caller("consultar", session + 1, 1, &till, waits, quick), session + 1),
                six(session + 1) + "|08098|");
      EXPECT_EQ(errors(session + 1), "Dispositivo em uso por outro processo: " + unit().path() + " (PID " +
                                         std::to_string(holder->pid) + ")\n");
      EXPECT_EQ(unit().frames().size(), frames + 1);
      session += 2;
    }
    if (planted) continue;

    // No lock file can be made (read-only /run): the call fails, sends nothing and says why.
    Program(till.as("root", "sh -c 'rm /run/zunra_sat/* && mount -o remount,ro /run'"), dir() + "/ro").wait();
    const std::size_t frames = unit().frames().size();
    EXPECT_EQ(reply_of(caller("consultar", 30, 1, &till, "root", quick), 30), six(30) + "|08098|");
    EXPECT_EQ(errors(30), "Arquivo de trava do dispositivo indisponivel: /run/zunra_sat/" + name +
                              ": Read-only file system\n");
    EXPECT_EQ(unit().frames().size(), frames);
  }
}

TEST_F(SharedUnitTest, AWaitingProgramGetsTheUnitBetweenTheCallsOfOneCallingBackToBack) {
  // Each call holds the unit 100 ms, without the lock pause: while either program waits, the other
  // gets the unit once more at most (twice if the waiter was slow to ask again), and none of the
  // second's calls falls back at its 2 s.
  write_settings(unit().path() + "\nLOCK=false", "T_CONSULTAR_SAT=00:02\n");
  sim::Script slow(sim::Act::Answer);
  slow.delay = std::chrono::milliseconds(100);
  unit().on_command(5, slow);
  auto hammering = caller("consultar", 700000, 1000);
  ASSERT_TRUE(unit().wait_for_frames(3, std::chrono::seconds(20)));
  EXPECT_EQ(caller("consultar", 800000, 10)->wait(), 0);
  hammering.reset();
  std::istringstream in(output(800000));
  int calls = 0;
  for (std::string head, reply; std::getline(in, head) && std::getline(in, reply); ++calls)
    EXPECT_EQ(reply.substr(0, 13), six(800000 + calls) + "|08000|");
  EXPECT_EQ(calls, 10);
  std::string order;  // one letter a frame, from the second's first: "b a b a b ..."
  for (const std::string& frame : unit().frames())
    if (frame.find("|05|8") == 0 || !order.empty()) order += frame.find("|05|8") == 0 ? 'b' : 'a';
  order.erase(order.find_last_of('b') + 1);
  EXPECT_TRUE(order.find("aaa") == std::string::npos && order.find("bbb") == std::string::npos) << order;
}

}  // namespace
}  // namespace zunra::test
