// One unit, several programs: till programs (unit_caller, through the
// shared library), sat_cli runs and this test process itself, all real
// processes on one simulated unit. Also the cases where the device named in
// the settings is not a terminal at all.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "../support/driver_test.h"
#include "device_lock.h"

namespace zunra::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::Act;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string quoted(const std::string& s) {
  return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'";
}

std::string session_text(int session) {
  char text[16];
  std::snprintf(text, sizeof text, "%06d", session);
  return text;
}

// A program run by /bin/sh (through the emulator in a cross build), its
// standard output in a file. Killed at scope exit if still running.
class Program {
 public:
  Program(const std::string& command, const std::string& out_file) {
    const std::string line = "exec " + command + " >" + quoted(out_file);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Program() { kill(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  // Its exit status; -1 when it had not ended within `limit` and was killed.
  int wait(std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (pid_ > 0 && Clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
    return -1;
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

std::string caller_command(const char* mode, int first, int count) {
  return std::string(ZUNRA_TEST_EMULATOR " ") + UNIT_CALLER_PATH " " LIBRARY_PATH " " + mode + " " +
         std::to_string(first) + " " + std::to_string(count);
}

struct Call {
  std::string function;
  int session = 0, asked = 0;
  std::string reply;
};

// What unit_caller printed: "<function> <session> <asked> <length>", reply.
std::vector<Call> calls_in(const std::string& path) {
  const std::string text = read_file(path);
  std::vector<Call> calls;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    Call c;
    std::size_t length = 0;
    std::istringstream head(text.substr(at, end - at));
    if (!(head >> c.function >> c.session >> c.asked >> length)) break;
    c.reply = text.substr(end + 1, length);
    at = end + 1 + length + 1;
    calls.push_back(c);
  }
  return calls;
}

// The sale document unit_caller sends with session `session`.
std::string sale_document(int session) {
  const std::string padding(session % 5 == 0 ? 300000 : 0, 'p');
  return "<CFe><infCFe><total><vCFe>1.00</vCFe></total><det>" + std::to_string(session) + padding +
         "</det></infCFe></CFe>";
}

class SharedUnitTest : public DriverTest {
 protected:
  // sat.ini for the other programs: this unit, and these further lines.
  void write_settings(const std::string& serial, const std::string& timeouts = "") {
    std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << serial << "\n[TIMEOUT]\n" << timeouts;
  }
  std::string fallback(const char* code, int session) {
    return session_text(session) + "|" + code + "|SAT em processamento. Tente novamente.||";
  }
};

TEST_F(SharedUnitTest, TwoTillProgramsAndATechnicianShareOneUnit) {
  write_settings(unit().path());
  TempDir work;  // sat_cli's directory, as a technician has it
  std::filesystem::create_symlink(SAT_CLI_PATH, work.path() + "/sat_cli");
  std::filesystem::create_symlink(LIBRARY_PATH, work.path() + "/libzunra_sat_rpi.so");
  constexpr int kCalls = 50, kCliRuns = 6;

  Program a(caller_command("mixed", 100000, kCalls), dir() + "/a.out");
  Program b(caller_command("mixed", 200000, kCalls), dir() + "/b.out");
  Program cli("sh -c " + quoted("cd " + work.path() + " && for i in $(seq " + std::to_string(kCliRuns) +
                                "); do " ZUNRA_TEST_EMULATOR " ./sat_cli ConsultarSAT || exit 1; done"),
              dir() + "/cli.out");
  EXPECT_EQ(a.wait(std::chrono::seconds(120)), 0);
  EXPECT_EQ(b.wait(std::chrono::seconds(120)), 0);
  EXPECT_EQ(cli.wait(std::chrono::seconds(120)), 0);

  // Every frame arrived whole, with nothing of another frame inside it.
  const std::vector<std::string> frames = unit().frames();
  std::string stream;
  std::map<std::string, int> sent;  // "code session" -> frames seen
  for (const std::string& frame : frames) {
    stream += on_wire(frame);
    ASSERT_TRUE(std::regex_match(frame.substr(0, 10), std::regex("\\|\\d\\d\\|\\d{6}")))
        << frame.substr(0, 40);
    ++sent[frame.substr(0, 10)];
  }
  EXPECT_EQ(unit().raw(), stream);

  // Every caller got the unit's answer to its own frame, none fell back,
  // and every sale was carried out once.
  std::multiset<std::string> answers;
  for (const std::string& r : unit().replies()) answers.insert(r);
  for (const char* out : {"/a.out", "/b.out"}) {
    const std::vector<Call> calls = calls_in(dir() + out);
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kCalls)) << out;
    for (const Call& c : calls) {
      SCOPED_TRACE(c.function + " " + std::to_string(c.session));
      EXPECT_EQ(c.reply.find("SAT em processamento"), std::string::npos) << c.reply.substr(0, 60);
      EXPECT_GE(answers.count(c.reply), 1u);  // session queries replay stored replies
      if (c.function == "EnviarDadosVenda") {
        EXPECT_EQ(c.reply, unit().stored_reply(c.session));
        EXPECT_EQ(unit().processed(3, c.session), 1);
        EXPECT_EQ(sent["|03|" + session_text(c.session)], 1);
        const std::string frame = "|03|" + session_text(c.session) + "|12345678|" + sale_document(c.session);
        EXPECT_NE(std::find(frames.begin(), frames.end(), frame), frames.end());
      } else if (c.function == "ConsultarNumeroSessao") {
        EXPECT_EQ(c.reply, unit().stored_reply(c.asked));
      } else if (c.function == "ConsultarSAT") {
        EXPECT_EQ(c.reply.substr(0, 7), session_text(c.session) + "|");
      }
    }
  }
  const std::string cli_out = read_file(dir() + "/cli.out");
  const std::regex answer("Retorno: (\\d{6})\\|08000\\|");
  EXPECT_EQ(
      std::distance(std::sregex_iterator(cli_out.begin(), cli_out.end(), answer), std::sregex_iterator()),
      kCliRuns)
      << cli_out;
}

TEST_F(SharedUnitTest, KilledHolderBlocksNobody) {
  use_real_seconds();
  write_settings(unit().path(), "T_CONSULTAR_SAT=00:30\n");

  // A till program killed while it waits for the unit's answer.
  unit().on_command(5, Act::Silent, 1);
  Program till(caller_command("consultar", 300000, 1), dir() + "/till.out");
  ASSERT_TRUE(unit().wait_for_frames(1, std::chrono::seconds(20)));
  till.kill();
  auto start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(7)).substr(0, 13), "000007|08000|");
  EXPECT_LT(ms_since(start), 1500);

  // A program killed in the middle of a call of one of its threads, after it
  // forked a child that lives on: the child's copy of the lock file must not
  // keep the unit locked.
  unit().on_command(5, Act::Silent, 1);
  Program forking(caller_command("fork-in-call", 300001, 1), dir() + "/forking.out");
  pid_t child = 0;
  for (int i = 0; i < 1000 && child <= 0; ++i) {
    pause_ms(20);
    child = std::atoi(read_file(dir() + "/forking.out").c_str());
  }
  forking.kill();
  ASSERT_GT(child, 0);
  EXPECT_EQ(unit().frames().size(), 3u);
  start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(9)).substr(0, 13), "000009|08000|");
  EXPECT_LT(ms_since(start), 1500);
  ::kill(child, SIGKILL);
}

TEST_F(SharedUnitTest, SymlinkAndRealNameShareOneLock) {
  use_real_seconds();
  debug_on();
  const std::string link = dir() + "/zsat";
  std::filesystem::create_symlink(unit().path(), link);
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, link.c_str());
  write_settings(unit().path(), "T_CONSULTAR_SAT=00:03\n");
  unit().on_command(5, Act::Silent, 1);
  Program till(caller_command("consultar", 400000, 1), dir() + "/till.out");
  ASSERT_TRUE(unit().wait_for_frames(1, std::chrono::seconds(20)));

  // The program holds the unit by its real name for 3 s: a call through the
  // link that may wait 1 s gets its fallback and sends nothing.
  T_Cons[1] = 1;
  auto start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(11)), fallback("08098", 11));
  EXPECT_GT(ms_since(start), 900);
  EXPECT_EQ(unit().frames().size(), 1u);
  const std::string line =
      "Dispositivo em uso por outro processo: " + link + " (PID " + std::to_string(till.pid()) + ")";
  const auto log = driver_log_lines();
  EXPECT_NE(std::find(log.begin(), log.end(), line), log.end());

  // One that may wait 4 s goes out once the program is done.
  T_Cons[1] = 4;
  start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(12)).substr(0, 13), "000012|08000|");
  EXPECT_GT(ms_since(start), 500);
  EXPECT_EQ(till.wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(unit().frames(), (std::vector<std::string>{"|05|400000", "|05|000012"}));
}

TEST_F(SharedUnitTest, ForkDuringAnotherThreadsCall) {
  // Another thread is in the middle of sending a long frame to a unit that
  // stopped reading when the program forks.
  use_real_seconds();
  T_Fim[1] = 10;
  unit().stop_reading();
  const std::string doc(300000, 'd');
  std::string reply;
  std::thread other([&] { reply = TesteFimAFim(20, "12345678", doc.c_str()); });
  pause_ms(500);
  const pid_t child = ::fork();
  if (child == 0) {
    // The child's own call returns at once, and leaves the parent's frame alone.
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, "/dev/zunra_nao_existe");
    const auto start = Clock::now();
    const bool fell_back = std::string(ConsultarSAT(21)) == fallback("08098", 21);
    ::_exit(fell_back && ms_since(start) < 1000 ? 0 : 1);
  }
  int status = -1;
  for (int i = 0; i < 250 && ::waitpid(child, &status, WNOHANG) == 0; ++i) pause_ms(20);
  if (!WIFEXITED(status)) ::kill(child, SIGKILL), ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's call did not return at once";
  unit().resume_reading();
  other.join();
  const std::vector<std::string> whole{"|06|000020|12345678|" + doc};
  EXPECT_TRUE(unit().frames() == whole) << "the parent's frame did not arrive whole";
  EXPECT_EQ(reply.substr(0, 7), "000020|");
  EXPECT_EQ(reply.find("SAT em processamento"), std::string::npos) << reply;
}

TEST_F(SharedUnitTest, ForkWhileAnotherThreadLoadsTheSettings) {
  // A till program whose first call, on another thread, reads sat.ini while
  // another writer holds the driver log: with debugging on, every line the
  // reading logs waits for it. The program forks meanwhile, and the child's
  // own call returns at once.
  std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=/dev/zunra_nao_existe\nDEBUG=true\n[TIMEOUT]\n";
  Program till(caller_command("fork-in-load", 600000, 1), dir() + "/till.out");
  ASSERT_EQ(till.wait(std::chrono::seconds(60)), 0);
  const std::string out = read_file(dir() + "/till.out");
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << "the child's call did not return:\n" << out;
  EXPECT_EQ(lines[1], fallback("08098", 600001));
  EXPECT_LT(std::stoi(lines[2]), 2000) << out;
  EXPECT_EQ(lines[4], fallback("08098", 600000));
}

TEST_F(SharedUnitTest, NotATerminalIsNeverWritten) {
  use_real_seconds();
  debug_on();
  console_on();
  char file[] = "/tmp/zsu_XXXXXX";
  const int fd = ::mkstemp(file);
  ASSERT_GE(fd, 0);
  const std::string content = "conteudo que nao pode mudar\n";
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  const std::string fifo = std::string(file) + "f";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int fifo_reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);

  for (const std::string& path : {std::string(file), fifo, std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, path.c_str());
    StdoutCapture out;
    const auto start = Clock::now();
    EXPECT_EQ(std::string(ConsultarSAT(30)), fallback("08098", 30));
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(out.finish(), "init_usb: Falha ao tentar abrir o dispositivo " + path +
                                "\nEnviaParaSat: Falha ao configurar a interface " + path + "\n");
    const auto log = driver_log_lines();
    EXPECT_NE(std::find(log.begin(), log.end(), "Dispositivo nao e um terminal: " + path), log.end());
  }
  EXPECT_EQ(read_file(file), content);
  char byte;
  EXPECT_EQ(::read(fifo_reader, &byte, 1), 0);  // nothing was written into it
  ::close(fifo_reader);
  ::unlink(fifo.c_str());
  ::unlink(file);
}

TEST_F(SharedUnitTest, PlantedLockFilesAreNeverFollowed) {
  // /run/lock stands here for a private directory, where another user has
  // planted a link and then a FIFO under the unit's lock file name.
  TempDir shared;
  const char* const saved = lock_dir;
  lock_dir = shared.path().c_str();
  struct stat device;
  ASSERT_EQ(::stat(unit().path().c_str(), &device), 0);
  const std::string planted = shared.path() + "/" + lock_file_name(device.st_rdev);
  const std::string victim = dir() + "/victim";

  std::filesystem::create_symlink(victim, planted);
  EXPECT_EQ(std::string(ConsultarSAT(40)).substr(0, 13), "000040|08000|");
  EXPECT_FALSE(std::filesystem::exists(victim));
  // The settings directory took its place, with a mode every program of the
  // device's group can lock with.
  struct stat made;
  ASSERT_EQ(::lstat((dir() + "/" + lock_file_name(device.st_rdev)).c_str(), &made), 0);
  EXPECT_TRUE(S_ISREG(made.st_mode));
  EXPECT_EQ(made.st_mode & 0777, made.st_gid == device.st_gid ? 0660u : 0644u);

  std::filesystem::remove(planted);
  ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
  const auto start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(41)).substr(0, 13), "000041|08000|");
  EXPECT_LT(ms_since(start), 1000);
  lock_dir = saved;
}

}  // namespace
}  // namespace zunra::test
