// The simulated unit itself, talked to with raw bytes on its pseudo-terminal:
// what the driver's own tests rely on without checking it. And sat_sim as a
// shell runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "sim_unit.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using zunra::sim::Act;
using zunra::sim::Script;
using zunra::sim::SimUnit;
using Clock = std::chrono::steady_clock;

namespace {

// The driver's side of the line.
struct Line {
  explicit Line(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  explicit Line(int owned) : fd(owned) {}
  ~Line() { ::close(fd); }
  // Bytes up to the next 0x03, or all that came before the timeout; read
  // one at a time so that what follows stays for the next read.
  std::string read(std::chrono::milliseconds timeout = 2000ms) {
    const auto end = Clock::now() + timeout;
    std::string got;
    for (char c = 0; c != '\x03' && Clock::now() < end; got += c) {
      pollfd p{fd, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (::poll(&p, 1, static_cast<int>(left)) <= 0 || ::read(fd, &c, 1) != 1) break;
    }
    return got;
  }
  // The reply to a frame ("|CC|SSSSSS|..."), without its 0x03.
  std::string reply(const std::string& frame, std::chrono::milliseconds timeout = 2000ms) {
    const std::string bytes = frame + "|\x03";
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const std::string r = read(timeout);
    return r.substr(0, r.size() - (!r.empty() && r.back() == '\x03'));
  }
  // Field n of the reply to a frame.
  std::string code(const std::string& frame, int n = 1) { return fields(reply(frame)).at(n); }
  static std::vector<std::string> fields(const std::string& reply) {
    std::vector<std::string> out;
    std::istringstream in(reply + "|");
    for (std::string field; std::getline(in, field, '|');) out.push_back(field);
    return out;
  }
  int fd;
};

// A pseudo-terminal of the test's own, whose slave `link` points to: the
// unit serves it as an existing device, and the returned master is the
// driver's end. Closing the master hangs the unit's end up. `waiting` is
// written before the link is made, so it waits in the port for whoever
// opens it (the terminal is raw then, or it would echo).
int own_terminal(const std::string& link, const std::string& waiting = "") {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[64];
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0)
    return -1;
  termios t{};
  if (!waiting.empty() && ::tcgetattr(master, &t) == 0) ::cfmakeraw(&t), ::tcsetattr(master, TCSANOW, &t);
  if (::write(master, waiting.data(), waiting.size()) != static_cast<ssize_t>(waiting.size())) return -1;
  ::unlink(link.c_str());
  return ::symlink(name, link.c_str()) == 0 ? master : -1;
}

const std::string kSale = "<CFe><dest><CPF>12345678909</CPF></dest><total><vCFe>12.50</vCFe></total></CFe>";

std::string sale_frame(const std::string& session) {
  return "|03|" + session + "|12345678|" + kSale;
}

}  // namespace

TEST(SimUnit, SalesQueriesAndCancellationsKeepTheUnitsState) {
  // The key's check digit: remainders 0 and 1 give 0, 10 gives 1; the ninth
  // digit from the right weighs 2 again.
  for (const auto& [tail, digit] : std::vector<std::pair<std::string, int>>{
           {"", 0}, {"1", 9}, {"5", 1}, {"6", 0}, {"35", 3}, {"100000000", 9}})
    EXPECT_EQ(zunra::sim::access_key_check_digit(std::string(43 - tail.size(), '0') + tail), digit) << tail;

  SimUnit unit;
  Line line(unit.path());
  EXPECT_EQ(line.reply("|20|000001|12345678").substr(0, 13), "000001|19003|");

  // Twelve fields: the key carries its check digit, the CF-e its key and total.
  const std::string sale = line.reply(sale_frame("000010"));
  const auto f = Line::fields(sale);
  ASSERT_EQ(f.size(), 12u);
  EXPECT_EQ(f[0] + "|" + f[1] + "|" + f[9] + "|" + f[10], "000010|06000|12.50|12345678909");
  ASSERT_EQ(f[8].size(), 47u);
  EXPECT_EQ(f[8].back() - '0', zunra::sim::access_key_check_digit(f[8].substr(3, 43)));
  std::string xml;
  ASSERT_TRUE(zunra::sim::base64_decode(f[6], xml));
  EXPECT_NE(xml.find("Id=\"" + f[8] + "\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<vCFe>12.50</vCFe>"), std::string::npos) << xml;
  EXPECT_EQ(line.reply("|20|000011|12345678"), sale);
  // A document without a CF-e, or a wrong code, issues nothing.
  EXPECT_EQ(line.code("|03|000015|12345678|<venda/>").substr(0, 4), "0600");
  EXPECT_EQ(line.code("|03|000016|00000000|" + kSale), "06001");
  EXPECT_EQ(unit.receipts_issued(), 1);

  // Session queries give the stored reply verbatim, also when asked from that very session.
  EXPECT_EQ(line.reply("|08|000012|12345678|000010"), sale);
  EXPECT_EQ(line.reply("|08|000010|12345678|000010"), sale);
  EXPECT_EQ(line.reply("|08|000014|12345678|000099"), "000014|11003|Sessão não existe||");

  // Cancellation: only of the last sale, only once, with a new key (its
  // document naming the sale is checked through sat_cli).
  EXPECT_EQ(line.code("|04|000017|12345678|CFe0000|<CFeCanc/>").substr(0, 3), "070");
  const auto canc = Line::fields(line.reply("|04|000018|12345678|" + f[8] + "|<CFeCanc/>"));
  ASSERT_EQ(canc.size(), 12u);
  EXPECT_EQ(canc[1], "07000");
  EXPECT_NE(canc[8], f[8]);
  const std::string again = line.code("|04|000019|12345678|" + f[8] + "|<CFeCanc/>");
  EXPECT_TRUE(again != "07000" && again.substr(0, 3) == "070") << again;
}

TEST(SimUnit, SchedulesAndRulesDecideWhatIsCarriedOutAndCounted) {
  SimUnit unit;
  Line line(unit.path());
  // A careless unit carries out a session it already processed again.
  EXPECT_NE(line.code(sale_frame("000005"), 8), line.code(sale_frame("000005"), 8));
  EXPECT_EQ(unit.processed(3, 5), 2);

  // The schedule first, then the rule of the exact code, then the rule for any code.
  Script canned;
  canned.canned = "{session}|06000|0000|pronto||";
  unit.on_command(0, Act::Busy);
  unit.on_command(3, canned, 1);
  unit.schedule({Script{}, Act::Silent, Act::ProcessThenDrop});
  EXPECT_EQ(line.code(sale_frame("000006")), "06000");
  EXPECT_EQ(line.reply(sale_frame("000007"), 200ms), "");
  EXPECT_EQ(line.reply(sale_frame("000008"), 200ms), "");
  EXPECT_EQ(line.reply(sale_frame("000009")), "000009|06000|0000|pronto||");
  EXPECT_EQ(line.reply(sale_frame("000010")), "000010|06098|0000|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(line.code("|08|000011|12345678|000008"), "11098");
  // Silent frames, canned replies and busy answers carry nothing out; a dropped reply does.
  EXPECT_EQ(unit.processed(3, 6) + unit.processed(3, 8), 2);
  EXPECT_EQ(unit.processed(3, 7) + unit.processed(3, 9) + unit.processed(3, 10), 0);
  unit.clear_scripts();
  EXPECT_EQ(line.reply("|08|000012|12345678|000008").substr(0, 13), "000008|06000|");
  EXPECT_EQ(unit.receipts_issued(), 4);
}

TEST(SimUnit, ReplyShapesOnTheWire) {
  SimUnit unit;
  Line line(unit.path());
  // Another session's complete reply first, garbage around it.
  Script s;
  s.wrong_session_first = true;
  s.garbage_before = "xx";
  s.garbage_after = "yy";
  unit.schedule({s});
  EXPECT_EQ(line.reply("|05|000041"), "xx000042|08000|SAT em operação||");
  EXPECT_EQ(line.read(), "000041|08000|SAT em operação||\x03");
  EXPECT_EQ(line.read(300ms), "yy");

  // Chunks with pauses and a byte rate both stretch the reply out in time.
  s = Script{};
  s.chunk = 10;
  s.chunk_pause = 100ms;
  unit.schedule({s});
  auto start = Clock::now();
  EXPECT_EQ(line.reply("|05|000043"), "000043|08000|SAT em operação||");  // 4 chunks
  EXPECT_GE(Clock::now() - start, 250ms);
  unit.set_log_bytes(SimUnit::log_bytes_for_reply(30000));
  unit.set_rate_limit(100000);
  start = Clock::now();
  const std::string reply = line.reply("|12|000044|12345678|3.0.0.3_acm0_rpi");
  EXPECT_GE(Clock::now() - start, 200ms);  // about 300 ms at 100,000 B/s
  EXPECT_TRUE(reply.size() >= 30000 && reply.size() <= 30003) << reply.size();
}

TEST(SimUnit, ActivationBlockingAndCodes) {
  SimUnit unit(SimUnit::Options{false, "12345678", 2000, 0, false, ""});
  Line line(unit.path());
  EXPECT_EQ(line.code(sale_frame("000001")), "06002");
  const auto act = Line::fields(line.reply("|01|000002|1|87654321|11111111000191|35"));
  EXPECT_EQ(act.size(), 6u);  // with the certificate request
  EXPECT_EQ(act[1], "04000");
  EXPECT_EQ(line.code("|07|000003|12345678"), "10001");
  EXPECT_EQ(Line::fields(line.reply("|07|000004|87654321")).size(), 5u + 23u);
  EXPECT_EQ(line.code("|13|000006|87654321"), "16000");
  EXPECT_EQ(line.code("|03|000007|87654321|" + kSale).substr(0, 3), "060");
  EXPECT_EQ(unit.receipts_issued(), 0);  // blocked
  EXPECT_EQ(line.code("|14|000008|87654321"), "17000");
  EXPECT_EQ(line.code("|03|000009|87654321|" + kSale), "06000");
}

TEST(SatSim, ServesFromTheCommandLineUntilStopped) {
  const std::string link = "/tmp/zunra_sim_" + std::to_string(::getpid());
  // The shell's number is the unit's once it execs.
  FILE* out = ::popen(
      ("echo $$; exec " ZUNRA_TEST_EMULATOR " " SAT_SIM_PATH " --busy ConsultarSAT:1 --link " + link).c_str(),
      "r");
  char pid[32] = {}, path[64] = {};
  ASSERT_TRUE(out && std::fgets(pid, sizeof pid, out) && std::fgets(path, sizeof path, out));
  EXPECT_EQ(std::string(path).rfind("/dev/pts/", 0), 0u) << path;  // the device's path comes first
  {
    Line line(link);
    EXPECT_EQ(line.reply("|05|000007"),
              "000007|08098|SAT em processamento. Tente novamente.||");  // busy once
    EXPECT_EQ(line.reply("|05|000007"), "000007|08000|SAT em operação||");
  }
  ASSERT_EQ(::kill(std::atoi(pid), SIGTERM), 0);
  EXPECT_EQ(::pclose(out), 0);                  // a clean exit
  EXPECT_EQ(::access(link.c_str(), F_OK), -1);  // the link goes with the unit

  // Commands go by number or by name, and --help lists both; a bad value is named.
  const auto sim_output = [](const std::string& command, int expected_status) {
    FILE* p = ::popen((ZUNRA_TEST_EMULATOR " " SAT_SIM_PATH " " + command + " 2>&1").c_str(), "r");
    std::string all;
    for (char buf[256]; p && std::fgets(buf, sizeof buf, p);) all += buf;
    const int status = p ? ::pclose(p) : -1;
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, expected_status) << command;
    return all;
  };
  EXPECT_NE(sim_output("--help", 0).find("\n  03  EnviarDadosVenda\n"), std::string::npos);
  const std::pair<std::string, std::string> bad[] = {
      {"--busy", "EnviarDadosVendas:1"}, {"--busy", "16:1"}, {"--delay", "3:5x"}, {"--silent", "-1"}};
  for (const auto& [option, value] : bad) {
    EXPECT_EQ(sim_output(option + " " + value, 2)
                  .rfind("sat_sim: valor invalido para " + option + ": " + value + "\nuso: sat_sim", 0),
              0u);
  }
  EXPECT_EQ(sim_output("--bussy 5:1", 2).rfind("sat_sim: opcao invalida: --bussy\n", 0), 0u);
}

TEST(SimUnit, ServesAnExistingTerminalAndFollowsItAwayAndBack) {
  zunra::test::TempDir dir;
  SimUnit::Options options;
  options.device = dir.path() + "/ttyGS0";
  options.log_bytes = 300000;
  EXPECT_THROW(SimUnit{options}, std::system_error);  // no such device: the unit does not start

  auto first = std::make_unique<Line>(own_terminal(options.device));
  SimUnit unit(options);
  EXPECT_EQ(unit.path(), options.device);
  // Set raw: the frame is not echoed back ahead of the reply.
  EXPECT_EQ(first->reply("|05|000007"), "000007|08000|SAT em operação||");

  // The other end goes while a long reply is flowing.
  unit.set_rate_limit(100000);
  const std::string logs = "|12|000008|12345678|v|\x03";
  ASSERT_EQ(::write(first->fd, logs.data(), logs.size()), static_cast<ssize_t>(logs.size()));
  char some[64];
  pollfd p{first->fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  ASSERT_GT(::read(first->fd, some, sizeof some), 0);
  first.reset();

  // It comes back (here as another pseudo-terminal under the same name):
  // the unit opens it again and nothing of the old reply follows.
  // Bytes that wait in the port from before the unit opened it are dropped.
  Line second(own_terminal(options.device, "|05|0000"));
  for (const auto until = Clock::now() + 3s; unit.reopened() < 1 && Clock::now() < until;)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(unit.reopened(), 1);
  EXPECT_EQ(second.reply("|05|000009", 3000ms), "000009|08000|SAT em operação||");
  EXPECT_EQ(unit.processed(12, 8), 1);
}
