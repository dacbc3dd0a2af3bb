// The simulated unit on raw bytes, what the driver's tests rely on without
// checking it, and sat_sim as a shell runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "sim_unit.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using zunra::sim::SimUnit;
using Clock = std::chrono::steady_clock;

namespace {

// The driver's end: replies read a byte at a time up to 0x03, which is dropped.
struct Line {
  explicit Line(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  explicit Line(int owned) : fd(owned) {}
  ~Line() { ::close(fd); }
  std::string reply(const std::string& frame, int timeout_ms = 2000) {
    const std::string bytes = frame + "|\x03";
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::string got;
    pollfd p{fd, POLLIN, 0};
    for (char c = 0; ::poll(&p, 1, timeout_ms) == 1 && ::read(fd, &c, 1) == 1 && c != '\x03';) got += c;
    return got;
  }
  int fd;
};

// A pseudo-terminal that `link` points to, its master returned; `waiting` is
// written first (raw then, so it is not echoed) and waits in the port.
int own_terminal(const std::string& link, const std::string& waiting = "") {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[64];
  termios t{};
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0)
    return -1;
  if (!waiting.empty() && ::tcgetattr(master, &t) == 0) ::cfmakeraw(&t), ::tcsetattr(master, TCSANOW, &t);
  if (::write(master, waiting.data(), waiting.size()) != static_cast<ssize_t>(waiting.size())) return -1;
  ::unlink(link.c_str());
  return ::symlink(name, link.c_str()) == 0 ? master : -1;
}

}  // namespace

TEST(SimUnit, SaleKeyQueryAndCancellation) {
  // Remainders 0 and 1 give 0, 10 gives 1; the ninth digit from the right weighs 2 again.
  for (const auto& [tail, digit] : {std::pair{"5", 1}, {"6", 0}, {"100000000", 9}})
    EXPECT_EQ(zunra::sim::access_key_check_digit(std::string(43 - std::strlen(tail), '0') + tail), digit);
  SimUnit unit;
  Line line(unit.path());
  const std::string sale = line.reply("|03|000010|12345678|<CFe><total><vCFe>12.50</vCFe></total></CFe>");
  EXPECT_EQ(sale.substr(0, 13), "000010|06000|");
  // Field 8 is the key with its check digit, then the total.
  std::size_t at = 0;
  for (int bar = 0; bar < 8; ++bar) at = sale.find('|', at) + 1;
  const std::string key = sale.substr(at, 47);
  EXPECT_EQ(sale.substr(at + 47, 7), "|12.50|") << sale;
  EXPECT_EQ(key.back() - '0', zunra::sim::access_key_check_digit(key.substr(3, 43))) << key;
  EXPECT_EQ(line.reply("|08|000010|12345678|000010"), sale);  // stored verbatim, even asked from that session
  EXPECT_EQ(line.reply("|04|000018|12345678|" + key + "|<CFeCanc/>").substr(0, 13), "000018|07000|");
  EXPECT_NE(line.reply("|04|000019|12345678|" + key + "|<CFeCanc/>").substr(0, 13), "000019|07000|");
}

TEST(SimUnit, KeepsTheRepliesOfTheLastHundredSessionsWithinItsBudget) {
  SimUnit::Options options;
  options.log_bytes = 3000;  // ExtrairLogs replies of some 4 KB
  options.stored_bytes = 20000;
  SimUnit unit(options);
  Line line(unit.path());
  const auto ask = [&](const char* session) {
    return line.reply(std::string("|08|000900|12345678|") + session);
  };
  const std::string unknown = "000900|11003|Sessão não existe||";
  for (int session = 1; session <= 101; ++session) {
    char frame[16];
    std::snprintf(frame, sizeof frame, "|05|%06d", session);
    line.reply(frame);
  }
  EXPECT_EQ(ask("000001"), unknown);
  EXPECT_EQ(ask("000002"), "000002|08000|SAT em operação||");
  // Five logs are more bytes than it keeps: the oldest sessions go first.
  std::string last_log;
  for (const char* session : {"000201", "000202", "000203", "000204", "000205"})
    last_log = line.reply(std::string("|12|") + session + "|12345678|v");
  EXPECT_GT(last_log.size(), 4000u);
  EXPECT_EQ(ask("000101"), unknown);
  EXPECT_EQ(ask("000201"), unknown);
  EXPECT_EQ(ask("000205"), last_log);
}

TEST(SatSim, ServesFromTheCommandLineUntilStopped) {
  const std::string link = "/tmp/zunra_sim_" + std::to_string(::getpid());
  FILE* out = ::popen(
      ("echo $$; exec " ZUNRA_TEST_EMULATOR " " SAT_SIM_PATH " --busy ConsultarSAT:1 --link " + link).c_str(),
      "r");
  char pid[32] = {}, path[64] = {};
  ASSERT_TRUE(out && std::fgets(pid, sizeof pid, out) && std::fgets(path, sizeof path, out));
  EXPECT_EQ(std::string(path).rfind("/dev/pts/", 0), 0u) << path;
  {
    Line line(link);
    EXPECT_EQ(line.reply("|05|000007"), "000007|08098|SAT em processamento. Tente novamente.||");
    EXPECT_EQ(line.reply("|05|000007"), "000007|08000|SAT em operação||");
  }
  ASSERT_EQ(::kill(std::atoi(pid), SIGTERM), 0);
  EXPECT_EQ(::pclose(out), 0);
  EXPECT_EQ(::access(link.c_str(), F_OK), -1);  // the link goes with the unit
  // Commands by number or name, both in --help; a bad value is named.
  const auto sim_output = [](const std::string& command, int expected_status) {
    FILE* p = ::popen((ZUNRA_TEST_EMULATOR " " SAT_SIM_PATH " " + command + " 2>&1").c_str(), "r");
    std::string all;
    for (char buf[256]; p && std::fgets(buf, sizeof buf, p);) all += buf;
    const int status = p ? ::pclose(p) : -1;
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, expected_status) << command;
    return all;
  };
  EXPECT_NE(sim_output("--help", 0).find("\n  03  EnviarDadosVenda\n"), std::string::npos);
  for (const std::string value : {"EnviarDadosVendas:1", "16:1"})
    EXPECT_EQ(sim_output("--busy " + value, 2).rfind("sat_sim: valor invalido para --busy: " + value, 0), 0u);
}

TEST(SimUnit, ServesAnExistingTerminalAndFollowsItAwayAndBack) {
  zunra::test::TempDir dir;
  SimUnit::Options options;
  options.device = dir.path() + "/ttyGS0";
  options.log_bytes = 300000;
  EXPECT_THROW(SimUnit{options}, std::system_error);  // no such device
  auto first = std::make_unique<Line>(own_terminal(options.device));
  SimUnit unit(options);
  EXPECT_EQ(first->reply("|05|000007"), "000007|08000|SAT em operação||");  // set raw: no echo
  // The other end goes while a long reply is flowing.
  unit.set_rate_limit(100000);
  const std::string logs = "|12|000008|12345678|v|\x03";
  ASSERT_EQ(::write(first->fd, logs.data(), logs.size()), static_cast<ssize_t>(logs.size()));
  char some[64];
  pollfd p{first->fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  ASSERT_GT(::read(first->fd, some, sizeof some), 0);
  first.reset();
  // It comes back under the same name: reopened, nothing of the old reply, stale bytes dropped.
  Line second(own_terminal(options.device, "|05|0000"));
  for (const auto until = Clock::now() + 3s; unit.reopened() < 1 && Clock::now() < until;)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(unit.reopened(), 1);
  EXPECT_EQ(second.reply("|05|000009", 3000), "000009|08000|SAT em operação||");
  EXPECT_EQ(unit.processed(12, 8), 1);
}
