// The counters file shared by the processes on one unit: calls of several
// till programs ending in each outcome add up exactly, a foreign file in its
// place is replaced, and sat_status reports the unit, its lock and the
// counts (also through Debian's node-exporter when it is installed).
#include "counters.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>

#include "../support/driver_test.h"
#include "device_lock.h"
#include "unique_fd.h"

namespace zunra::test {
namespace {

using counters::Outcome;
using sim::Act;
using sim::Script;

constexpr int kVenda = 2, kConsultar = 4, kFimAFim = 5;

// A program started without a shell; killed at scope exit unless waited for.
struct Process {
  pid_t pid;
  explicit Process(std::vector<std::string> args) : pid(::fork()) {
    if (pid != 0) return;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ~Process() {
    if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  int wait() {
    int status = 0;
    ::waitpid(std::exchange(pid, -1), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

class CountersTest : public DriverTest {
 protected:
  void write_settings(const std::string& serial, const std::string& defaults = "",
                      const std::string& consultar = "00:01") {
    std::ofstream(dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << serial << "\n"
                                      << defaults << "[TIMEOUT]\nT_CONSULTAR_SAT=" << consultar
                                      << "\nT_TESTE_FIM_A_FIM=00:01\nT_ENVIAR_DADOS_VENDA=00:01\n";
  }
  static std::string caller(const char* function, int first, int count, int document_bytes = 0) {
    return ZUNRA_TEST_EMULATOR " " COUNTED_CALLER_PATH " " LIBRARY_PATH " " + std::string(function) + " " +
           std::to_string(first) + " " + std::to_string(count) + " " + std::to_string(document_bytes);
  }
  // `processes` till programs at once, each making `count` calls; 0 when all of them ran.
  static int callers(int processes, const char* function, int count, int document_bytes = 0,
                     const std::string& as = "") {
    std::string script = "pids=;";
    for (int p = 0; p < processes; ++p)
      script += as + caller(function, 1000 * (p + 1), count, document_bytes) + " & pids=\"$pids $!\";";
    script += "for p in $pids; do wait $p || exit 1; done";
    return std::system(("sh -c '" + script + "'").c_str());
  }
  static counters::Values counts() {
    counters::Values v{};
    std::string why;
    EXPECT_TRUE(counters::read_counters(counters::counters_file_path(), v, why)) << why;
    return v;
  }
  // sat_status's standard output.
  std::string status(const std::string& options = "") {
    const std::string out = dir() + "/status.out";
    EXPECT_EQ(std::system((ZUNRA_TEST_EMULATOR " " SAT_STATUS_PATH " " + options + " >" + out).c_str()), 0);
    std::string text = read_file(out);
    std::remove(out.c_str());
    return text;
  }
};

TEST_F(CountersTest, CallsOfSeveralProcessesEndingInEachOutcomeAddUpExactly) {
  counters::Values want{};
  auto expect = [&](int function, Outcome outcome, int calls) {
    want.calls[function][static_cast<int>(outcome)] += calls;
    want.attempts[function] += calls;
  };
  const std::time_t started = std::time(nullptr);

  // The unit's own replies, from three and two programs at once.
  write_settings(unit().path());
  ASSERT_EQ(callers(3, "ConsultarSAT", 20), 0);
  expect(kConsultar, Outcome::success, 60);
  Script refused;
  refused.canned = "{session}|08001|Codigo de ativacao invalido||";
  unit().on_command(5, refused);
  ASSERT_EQ(callers(2, "ConsultarSAT", 5), 0);
  expect(kConsultar, Outcome::unit_error, 10);
  unit().on_command(5, Act::Busy);
  ASSERT_EQ(callers(2, "ConsultarSAT", 5), 0);
  expect(kConsultar, Outcome::unit_busy, 10);

  // Fallbacks of a silent unit, a unit held by this process, a reply too
  // large and a frame too large for its buffer.
  unit().on_command(5, Act::Silent);
  ASSERT_EQ(callers(1, "ConsultarSAT", 2), 0);
  expect(kConsultar, Outcome::no_reply, 2);
  unit().clear_scripts();
  {
    struct stat device;
    ASSERT_EQ(::stat(unit().path().c_str(), &device), 0);
    DeviceLock held;
    ASSERT_EQ(held.acquire(device, Deadline::in_ms(1000)), DeviceLock::Outcome::held);
    ASSERT_EQ(callers(1, "ConsultarSAT", 1), 0);
    expect(kConsultar, Outcome::held_by_another_process, 1);
  }
  Script huge;
  huge.canned = "{session}|08000|" + std::string(kReplyCapacity, 'A');
  unit().on_command(5, huge, 1);
  write_settings(unit().path(), "", "00:10");
  ASSERT_EQ(callers(1, "ConsultarSAT", 1), 0);
  expect(kConsultar, Outcome::reply_too_large, 1);
  ASSERT_EQ(callers(2, "TesteFimAFim", 1, kFrameCapacity), 0);
  expect(kFimAFim, Outcome::frame_refused, 2);

  // A sale answered busy, then lost, then found issued by the session query.
  write_settings(unit().path(), "N_TENT=3\nTMP_TENT=3\n");
  unit().schedule({Act::Busy, Act::ProcessThenDrop});
  ASSERT_EQ(callers(1, "EnviarDadosVenda", 1), 0);
  expect(kVenda, Outcome::success, 1);
  want.attempts[kVenda] += 2;
  want.busy_retries[kVenda] = 1;
  want.recovery_queries[static_cast<int>(counters::Finding::issued)] = 1;

  // No device, not a terminal, a device this user may not open.
  write_settings("/dev/zunra_nao_existe");
  ASSERT_EQ(callers(2, "ConsultarSAT", 3), 0);
  expect(kConsultar, Outcome::no_device, 6);
  write_settings("/dev/null");
  ASSERT_EQ(callers(2, "TesteFimAFim", 2), 0);
  expect(kFimAFim, Outcome::not_a_terminal, 4);
  write_settings(unit().path());
  ::chmod(dir().c_str(), 0770);  // the group (root's, here) keeps the counters file; the pty is root:tty 0620
  ASSERT_EQ(callers(1, "ConsultarSAT", 1, 0, "setpriv --reuid=65534 --regid=65534 --groups=0 "), 0);
  expect(kConsultar, Outcome::permission_denied, 1);

  // A line that hangs up, and one that stops taking bytes.
  sim::SimUnit hanging;
  hanging.on_command(5, Act::HangUp);
  write_settings(hanging.path());
  ASSERT_EQ(callers(1, "ConsultarSAT", 1), 0);
  expect(kConsultar, Outcome::hang_up, 1);
  sim::SimUnit deaf;
  deaf.stop_reading();
  write_settings(deaf.path());
  ASSERT_EQ(callers(1, "TesteFimAFim", 1, 1000000), 0);
  expect(kFimAFim, Outcome::send_timed_out, 1);

  const counters::Values got = counts();
  for (int f = 0; f < counters::kFunctions; ++f) {
    SCOPED_TRACE(counters::kFunctionNames[f]);
    for (int o = 0; o < counters::kOutcomes; ++o)
      EXPECT_EQ(got.calls[f][o], want.calls[f][o]) << counters::kOutcomeNames[o].label;
    EXPECT_EQ(got.attempts[f], want.attempts[f]);
    EXPECT_EQ(got.busy_retries[f], want.busy_retries[f]);
  }
  for (int i = 0; i < counters::kFindings; ++i) EXPECT_EQ(got.recovery_queries[i], want.recovery_queries[i]);
  // Programs calling at once wait for each other too; the held unit's caller waited out its deadline.
  EXPECT_GE(got.lock_waits, 1u);
  EXPECT_GE(got.lock_wait_us_longest, 500000u);
  EXPECT_EQ(got.bytes_sent, unit().raw().size() + hanging.raw().size());
  const counters::LastFallback last = counters::last_fallback_of(got);
  EXPECT_TRUE(last.any && last.function == kFimAFim && last.outcome == Outcome::send_timed_out);
  EXPECT_TRUE(last.time >= started && last.time <= std::time(nullptr));
  const counters::LongestCall longest = counters::longest_call_of(got);
  EXPECT_EQ(longest.function, kVenda);  // two pauses of 3 s
  EXPECT_TRUE(longest.ms >= 6000 && longest.ms < longest.bound_ms)
      << longest.ms << " of " << longest.bound_ms;
}

TEST_F(CountersTest, AForeignOrCorruptCountersFileIsReplacedNotTrusted) {
  write_settings(unit().path());
  const std::string path = counters::counters_file_path(), victim = dir() + "/victim";
  std::ofstream(victim) << "nao muda\n";
  const std::vector<std::pair<const char*, std::function<void()>>> planted = {
      {"short file", [&] { std::ofstream(path) << "lixo"; }},
      {"right size, no magic", [&] { std::ofstream(path) << std::string(2072, 'x'); }},
      {"link", [&] { std::filesystem::create_symlink(victim, path); }},
      {"fifo", [&] { ::mkfifo(path.c_str(), 0660); }},
      {"readable by all", [&] { callers(1, "ConsultarSAT", 1), ::chmod(path.c_str(), 0664); }},
      {"another version",
       [&] {
         callers(1, "ConsultarSAT", 1);
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(8), file.put('\x07');
       }},
  };
  for (const auto& [name, plant] : planted) {
    SCOPED_TRACE(name);
    std::filesystem::remove(path);
    plant();
    ASSERT_EQ(callers(1, "ConsultarSAT", 1), 0);
    struct stat file;
    ASSERT_EQ(::lstat(path.c_str(), &file), 0);
    EXPECT_TRUE(S_ISREG(file.st_mode) && (file.st_mode & 07777) == 0660) << std::oct << file.st_mode;
    EXPECT_EQ(counts().calls[kConsultar][0], 1u);
  }
  EXPECT_EQ(read_file(victim), "nao muda\n");
  for (const auto& entry : std::filesystem::directory_iterator(dir()))  // no temporary file left behind
    EXPECT_EQ(entry.path().filename().string().rfind("zunra_sat_counters.", 0), std::string::npos)
        << entry.path();
}

TEST_F(CountersTest, SatStatusOnAPresentHeldAndMissingUnit) {
  write_settings(unit().path(), "", "00:20");
  ASSERT_EQ(callers(1, "ConsultarSAT", 2), 0);
  std::string text = status();
  EXPECT_NE(text.find("Dispositivo: " + unit().path() + " (presente)\nTrava do dispositivo: livre"),
            std::string::npos)
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\n  ConsultarSAT +2 +2 +0 +0 +0 +2\n"))) << text;
  EXPECT_NE(status("--json").find("\"ConsultarSAT\": {\"success\": 2, \"unit_error\": 0"), std::string::npos);
  EXPECT_NE(status("--prometheus")
                .find("\nzunra_sat_calls_total{function=\"ConsultarSAT\",outcome=\"success\"} 2\n"),
            std::string::npos);

  // Another program holds the unit, waiting for a silent reply.
  unit().on_command(5, Act::Silent);
  Process holder({"/bin/sh", "-c",
                  "exec " ZUNRA_TEST_EMULATOR " " COUNTED_CALLER_PATH " " LIBRARY_PATH " ConsultarSAT 7 1"});
  ASSERT_TRUE(unit().wait_for_frames(3, std::chrono::seconds(20)));
  text = status();
  // The holder's name is the emulator's where one runs the target's programs.
  const std::string holder_name = *ZUNRA_TEST_EMULATOR ? "" : " (counted_caller)";
  EXPECT_NE(
      text.find("Trava do dispositivo: em uso pelo processo " + std::to_string(holder.pid) + holder_name),
      std::string::npos)
      << text;
  EXPECT_NE(status("--json").find("\"lock_holder_pid\": " + std::to_string(holder.pid)), std::string::npos);
  EXPECT_NE(status("--prometheus").find("\nzunra_sat_device_lock_held 1\n"), std::string::npos);

  // A sale whose reply was lost stays open in the journal.
  EXPECT_NE(text.find("\nDiario fiscal: nenhum\n"), std::string::npos) << text;
  ::kill(holder.pid, SIGKILL), holder.wait();
  write_settings(unit().path(), "JOURNAL=true\n");
  unit().on_command(3, Act::ProcessThenDrop);
  ASSERT_EQ(callers(1, "EnviarDadosVenda", 1), 0);
  EXPECT_NE(status().find("\nDiario fiscal: " + dir() + "/journal.jsonl, pendentes: 1\n"), std::string::npos);
  EXPECT_NE(status("--prometheus").find("\nzunra_sat_journal_unresolved 1\n"), std::string::npos);

  write_settings("/dev/zunra_nao_existe");
  text = status();
  EXPECT_NE(text.find("Dispositivo: /dev/zunra_nao_existe (ausente)\nContadores: "), std::string::npos)
      << text;
  EXPECT_NE(status("--json").find("\"present\": false, \"state\": \"missing\""), std::string::npos);
  EXPECT_NE(status("--prometheus").find("\nzunra_sat_device_present 0\n"), std::string::npos);
}

// Lines of sat.ini the driver passes over are said: by sat_status --check,
// with the values in force, and in the log while debugging.
TEST_F(CountersTest, SettingsMistakesAreSaid) {
  const std::string head = "[DEFAULT]\nSERIAL=" + unit().path() + "\n";
  for (const auto& [text, said] : std::vector<std::pair<std::string, std::string>>{
           {head + "N_TENT=three\n", "  [DEFAULT] N_TENT=three: nao e um numero de um ou dois digitos\n"},
           {head + "N_TENT=003\n", "  [DEFAULT] N_TENT=003: nao e um numero de um ou dois digitos\n"},
           {head + "TMP_TENT=3s\n", "  [DEFAULT] TMP_TENT=3s: nao e um numero de um ou dois digitos\n"},
           {head + "DEBUG=TRUE\n", "  [DEFAULT] DEBUG=TRUE: nao e true nem false (minusculas)\n"},
           {head + "[TIMEOUT]\nT_CONSULTAR_NUMERO_SESSAO=1\n",
            "  [TIMEOUT] T_CONSULTAR_NUMERO_SESSAO=1: nao esta no formato MM:SS\n"},
           {"N_TENT=3\n" + head,
            "  (antes de [DEFAULT]) N_TENT=3: fora de uma secao: o driver so le [DEFAULT] e [TIMEOUT]\n"},
           {head + "[REDE]\n[TIMEOUT]\nT_CONSULTAR_SAT=00:09\n",
            "  [TIMEOUT] T_CONSULTAR_SAT=00:09: [TIMEOUT] so e lida escrita em maiusculas e como primeira ou "
            "segunda secao\n"},
       }) {
    std::ofstream(dir() + "/sat.ini") << text;
    const std::string out = dir() + "/check.out";
    const int status = std::system((ZUNRA_TEST_EMULATOR " " SAT_STATUS_PATH " --check >" + out).c_str());
    const std::string report = read_file(out);
    EXPECT_EQ(WEXITSTATUS(status), 1) << text;
    EXPECT_NE(report.find(": 1 linha ignorada\n" + said + "Valores em vigor:\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("\n  N_TENT=1\n"), std::string::npos) << report;
  }
  std::ofstream(dir() + "/sat.ini") << head << "N_TENT=3\n[TIMEOUT]\nT_CONSULTAR_SAT=00:09\n";
  EXPECT_EQ(status("--check").find(": 0 linhas ignoradas\nValores em vigor:\n"), dir().size() + 8);
  EXPECT_NE(status("--check").find("\n  N_TENT=3\n"), std::string::npos);

  std::ofstream(dir() + "/sat.ini") << head << "DEBUG=true\nN_TENT=three\n";
  ASSERT_EQ(callers(1, "ConsultarSAT", 1), 0);
  const std::vector<std::string> lines = driver_log_lines();
  EXPECT_NE(
      std::find(lines.begin(), lines.end(),
                "Configuracao ignorada do sat.ini: [DEFAULT] N_TENT=three: nao e um numero de um ou dois "
                "digitos"),
      lines.end());
}

// Syslog lines go to /dev/log: the callers run in a mount namespace whose
// /dev is a tmpfs holding this test's socket under that name, with the
// unit's pseudo-terminals and /dev/null bound in from the real one.
TEST_F(CountersTest, SyslogHasOneLinePerFallbackAndRecoveryWithoutSecrets) {
  const std::string socket_path = dir() + "/log.sock";
  UniqueFd log(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(log.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto in_private_dev = [&](const std::string& commands) {
    const std::string old = dir() + "/dev";
    return std::system(("unshare -m sh -ec 'mount --make-rprivate / && mkdir -p " + old +
                        " && mount --rbind /dev " + old +
                        " && mount -t tmpfs tmpfs /dev && mkdir /dev/pts && mount --rbind " + old +
                        "/pts /dev/pts && touch /dev/null && mount --bind " + old +
                        "/null /dev/null && ln -s " + socket_path + " /dev/log && " + commands + "'")
                           .c_str());
  };
  auto lines = [&] {
    std::vector<std::string> got;
    char datagram[1024];
    for (ssize_t n; (n = ::recv(log.get(), datagram, sizeof datagram, 0)) > 0;) got.emplace_back(datagram, n);
    return got;
  };

  // A sale whose reply is lost and found issued by the session query; a
  // query of a silent unit; then the same with SYSLOG off.
  write_settings(unit().path(), "SYSLOG=true\nN_TENT=2\nTMP_TENT=3\n");
  unit().on_command(3, Act::ProcessThenDrop, 1);
  unit().on_command(5, Act::Silent);
  ASSERT_EQ(in_private_dev(caller("EnviarDadosVenda", 1000, 1) + " && " + caller("ConsultarSAT", 2000, 1)),
            0);
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 2u);
  const std::regex header("<12>[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} counted_caller: zunra_sat: ");
  EXPECT_TRUE(std::regex_search(got[0], header)) << got[0];
  EXPECT_NE(
      got[0].find(": zunra_sat: EnviarDadosVenda sessao 001000: consulta de sessao apos falha: ja executado "
                  "pelo SAT"),
      std::string::npos)
      << got[0];
  EXPECT_NE(
      got[1].find(": zunra_sat: ConsultarSAT sessao 002000: resposta de contingencia, sem resposta do SAT (" +
                  unit().path() + ")"),
      std::string::npos)
      << got[1];
  for (const std::string& line : got)
    EXPECT_TRUE(line.find("12345678") == std::string::npos && line.find("CFe") == std::string::npos) << line;

  write_settings(unit().path());
  ASSERT_EQ(in_private_dev(caller("ConsultarSAT", 3000, 1)), 0);
  EXPECT_EQ(lines(), std::vector<std::string>{});
}

// Debian's prometheus-node-exporter reading what sat_status --prometheus-dir writes.
TEST_F(CountersTest, NodeExporterServesTheCounters) {
  const char* exporter = "/usr/bin/prometheus-node-exporter";
  if (::access(exporter, X_OK) != 0 || std::system("command -v curl >/dev/null") != 0)
    GTEST_SKIP() << "prometheus-node-exporter or curl is not installed (./test.sh installs both)";
  write_settings("/dev/zunra_nao_existe");
  ASSERT_EQ(callers(2, "ConsultarSAT", 3), 0);
  const std::string metrics = dir() + "/metrics";
  std::filesystem::create_directory(metrics);
  ASSERT_EQ(std::system((ZUNRA_TEST_EMULATOR " " SAT_STATUS_PATH " --prometheus-dir " + metrics).c_str()), 0);

  // A free port: the kernel's pick for a socket closed again just before.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));
  ::close(probe);

  Process node({exporter, "--web.listen-address=127.0.0.1:" + port, "--collector.disable-defaults",
                "--collector.textfile", "--collector.textfile.directory=" + metrics, "--log.level=error"});
  const std::string scraped = dir() + "/scraped";
  const std::string curl = "curl -sf -o " + scraped + " http://127.0.0.1:" + port + "/metrics";
  bool up = false;
  for (int i = 0; i < 100 && !(up = std::system(curl.c_str()) == 0); ++i) pause_ms(100);
  ASSERT_TRUE(up) << "node-exporter did not answer on port " << port;
  const std::string text = read_file(scraped);
  for (const char* line : {
           "\nzunra_sat_fallbacks_total{function=\"ConsultarSAT\",reason=\"no_device\"} 6\n",
           "\nzunra_sat_calls_total{function=\"ConsultarSAT\",outcome=\"success\"} 0\n",
           "\nzunra_sat_device_present 0\n",
           "\nnode_textfile_scrape_error 0\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text.substr(0, 3000);
  EXPECT_NE(
      text.find("zunra_sat_last_fallback_timestamp_seconds{function=\"ConsultarSAT\",reason=\"no_device\"}"),
      std::string::npos);
}

}  // namespace
}  // namespace zunra::test
