// Speed and resource figures of the driver against the simulated unit on a
// pseudo-terminal, each next to a baseline measured in the same run:
//   1. ConsultarSAT round trip (every call counted) vs the 100 ms lock pause
//      every call takes, and the cost of counting one call;
//   2. a 3,000,000-byte ExtrairLogs reply written in one piece, read by the
//      driver vs a raw copy of the same bytes through a pseudo-terminal read
//      by a plain reader, and at 1 MB/s vs the wire rate;
//   3. CPU time of a call waiting on a silent unit vs the time it waited;
//   4. peak memory of `sat_cli ExtrairLogs` with a 3 MB log vs
//      `sat_cli ConsultarSAT`;
//   5. ConsultarSAT round trip of a second program on the unit, which takes
//      the lock the programs share, vs the lock pause;
//   6. two programs calling at once: the time of their 2 x N calls vs the
//      sum of the times each takes alone;
//   7. (only this one, with --sim-memory) sat_sim's resident size after
//      20,000 mixed calls vs its size after the first 100;
//   8. a sale's round trip with the fiscal journal on (its intent on the
//      disk before the frame goes out, its outcome after) vs the same sale
//      with it off, interleaved; and one durable journal line alone
//      (--journal runs only this one);
//   9. the calling thread's own copy of a 3,000,000-byte reply vs a memcpy
//      of the same bytes, and its share of figure 2's call;
//   10. two programs calling back to back: the most calls of one that a call
//      of the other waited through, vs one (and the worst wait);
//   11. a call whose unit another program holds: how long until it says so,
//      vs its deadline.
// Prints a table and JSON (stdout, or --json FILE). Never fails on a figure:
// targets are shown, not asserted. --quick shortens every run (CI smoke).
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "bench_support.h"
#include "counters.h"
#include "journal.h"
#include "journal_file.h"
#include "unique_fd.h"

using namespace zunra;
using namespace zunra::bench;
using sim::Act;
using sim::Script;

namespace {

constexpr std::size_t kLogReplyBytes = 3000000;
constexpr std::size_t kWireRate = 1000000;  // bytes per second

// 1. Every call with the lock on pauses 100 ms; the rest is the exchange.
std::vector<Figure> round_trip(int calls) {
  DriverSetup setup;
  ConsultarSAT(1);  // settle: first open of the device
  std::vector<double> call_ms, pause_ms_taken;
  for (int i = 0; i < calls; ++i) {
    auto start = Clock::now();
    const char* reply = ConsultarSAT(100 + i);
    call_ms.push_back(ms_since(start));
    if (std::strncmp(reply + 6, "|08000|", 7) != 0) std::fprintf(stderr, "unexpected reply: %.60s\n", reply);
    start = Clock::now();
    pause_ms(100);
    pause_ms_taken.push_back(ms_since(start));
  }
  const double base = percentile(pause_ms_taken, 0.5);
  const double median = percentile(call_ms, 0.5), p95 = percentile(call_ms, 0.95);
  return {
      {"ConsultarSAT round trip, counted, median of " + std::to_string(calls), median, "ms", "lock pause",
       base, median / base, "<= 1.05", median / base <= 1.05},
      {"ConsultarSAT round trip, counted, p95 of " + std::to_string(calls), p95, "ms", "lock pause", base,
       p95 / base, "<= 1.05", p95 / base <= 1.05},
  };
}

// 1b. What counting one call adds: the counter updates a ConsultarSAT makes
// (its call, deadline, bytes each way, reply), without the exchange, against
// the round trip they are part of.
Figure counted_call_cost(int calls, double round_trip_ms) {
  DriverSetup setup;
  ConsultarSAT(1);  // maps the counters file
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    counters::CountedCall counted("|08098|");
    counters::allowed_ms(4000);
    counters::sent(12);
    counters::received(36);
    counters::reply_taken();
  }
  const double us = ms_since(start) * 1000.0 / calls;
  return {"cost of counting one call, mean of " + std::to_string(calls),
          us,
          "us",
          "round trip",
          round_trip_ms * 1000.0,
          us / (round_trip_ms * 1000.0),
          "(figure)",
          true};
}

// A pseudo-terminal set raw, the master non-blocking. The slave stays open
// here, so that a reader closing its own descriptor is no hang-up.
struct RawPty {
  RawPty() : master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) {
    ::grantpt(master.get());
    ::unlockpt(master.get());
    char name[64] = "";
    ::ptsname_r(master.get(), name, sizeof name);
    path = name;
    slave.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    termios t;
    ::tcgetattr(slave.get(), &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave.get(), TCSANOW, &t);
  }
  UniqueFd master, slave;
  std::string path;
};

// Writes the bytes in one piece: as much as the line takes per write(), and
// poll() for room in between. The writer of the raw copy and of the canned
// reply alike.
void write_all(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<std::size_t>(n);
    } else {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 10000) != 1) return;  // the reader went away
    }
  }
}

// The same bytes through a bare pseudo-terminal: one thread writes, this one
// reads with poll() until everything arrived.
double raw_pty_copy_ms(const std::string& bytes) {
  RawPty pty;
  std::vector<char> in(bytes.size(), '\0');  // touched before the clock starts
  const auto start = Clock::now();
  std::thread writer([&] { write_all(pty.master.get(), bytes); });
  std::size_t got = 0;
  while (got < bytes.size()) {
    pollfd p{pty.slave.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) break;
    const ssize_t n = ::read(pty.slave.get(), in.data() + got, in.size() - got);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  const double ms = ms_since(start);
  writer.join();
  if (got != bytes.size() || std::memcmp(in.data(), bytes.data(), bytes.size()) != 0)
    std::fprintf(stderr, "raw copy corrupted: %zu of %zu bytes read\n", got, bytes.size());
  return ms;
}

// The driver reading a reply that a unit as fast as the raw copy's writer
// sends: it takes the frame, then writes the reply prepared beforehand in one
// piece. The driver's device is this pseudo-terminal for the call.
double driver_on_canned_unit_ms(const std::string& text, int session, bool& intact) {
  RawPty pty;
  char head[16];
  std::snprintf(head, sizeof head, "%06d", session);
  const std::string wire = head + text.substr(6) + '\x03';
  std::thread unit([&] {
    std::string frame;
    char buf[4096];
    while (frame.size() < 2 || frame.compare(frame.size() - 2, 2, "|\x03") != 0) {
      pollfd p{pty.master.get(), POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return;
      const ssize_t n = ::read(pty.master.get(), buf, sizeof buf);
      if (n > 0) frame.append(buf, static_cast<std::size_t>(n));
    }
    write_all(pty.master.get(), wire);
  });
  const std::string unit_path = SAT_SERIAL;
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, pty.path.c_str());
  const auto start = Clock::now();
  const char* reply = ExtrairLogs(session, "12345678");
  const double ms = ms_since(start);
  unit.join();
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit_path.c_str());
  intact = wire.compare(0, wire.size() - 1, reply) == 0;
  return ms;
}

// The unit's side alone: a bare reader asks the simulated unit for the same
// reply and reads it without the driver, to tell the unit's own cost apart.
double unit_only_ms(sim::SimUnit& unit, const std::string& canned, std::size_t expect) {
  Script s(Act::Answer);
  s.canned = canned;
  unit.on_command(12, s, 1);
  const int fd = ::open(unit.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  termios t;
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  std::vector<char> in(expect + 65536, '\0');
  const std::string frame = "|12|000077|12345678|3.0.0.3_acm0_rpi|\x03";
  const auto start = Clock::now();
  if (::write(fd, frame.data(), frame.size()) < 0) std::perror("write");
  std::size_t got = 0;
  while (got < expect && ms_since(start) < 10000) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 1000);
    const ssize_t n = ::read(fd, in.data() + got, in.size() - got);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  const double ms = ms_since(start);
  ::close(fd);
  return ms;
}

// 2. The log reply: how close the receive path comes to the line's speed.
std::vector<Figure> long_reply(int runs) {
  DriverSetup setup;
  ModoLock = 0;  // the lock pause is figure 1's; here only the transfer counts
  setup.unit().set_log_bytes(sim::SimUnit::log_bytes_for_reply(kLogReplyBytes));
  ExtrairLogs(1, "12345678");
  std::string text = setup.unit().stored_reply(1);
  if (text.empty() && !setup.unit().replies().empty()) text = setup.unit().replies().back();
  // Pad or cut the Base64 field so the reply is exactly 3,000,000 bytes.
  text.resize(kLogReplyBytes, 'A');
  const std::string canned = "{session}" + text.substr(6);
  const std::string wire = text + '\x03';

  auto timed_call = [&](int session, std::size_t rate, bool& intact) {
    Script s(Act::Answer);
    s.canned = canned;
    s.bytes_per_second = rate;
    setup.unit().on_command(12, s, 1);
    const auto start = Clock::now();
    const char* reply = ExtrairLogs(session, "12345678");
    const double ms = ms_since(start);
    char head[16];
    std::snprintf(head, sizeof head, "%06d", session);
    intact = std::strlen(reply) == text.size() && std::memcmp(reply, head, 6) == 0 &&
             std::memcmp(reply + 6, text.data() + 6, text.size() - 6) == 0;
    return ms;
  };

  std::vector<double> driver_ms, raw_ms, on_unit_ms, unit_ms;
  bool all_intact = true;
  for (int i = 0; i < runs; ++i) {
    bool intact = false, canned_intact = false;
    driver_ms.push_back(driver_on_canned_unit_ms(text, 2 + i, canned_intact));
    raw_ms.push_back(raw_pty_copy_ms(wire));
    on_unit_ms.push_back(timed_call(50 + i, 0, intact));
    unit_ms.push_back(unit_only_ms(setup.unit(), canned, wire.size()));
    all_intact = all_intact && intact && canned_intact;
  }
  const double d = percentile(driver_ms, 0.5), r = percentile(raw_ms, 0.5);
  const double on_unit = percentile(on_unit_ms, 0.5), u = percentile(unit_ms, 0.5);
  bool paced_intact = false;
  const double paced = timed_call(90, kWireRate, paced_intact);
  const double wire_ms = wire.size() * 1000.0 / kWireRate;
  std::string integrity = all_intact && paced_intact ? "" : " (REPLY CORRUPTED)";
  return {
      // Like with like: the same writer on both sides, the driver reading
      // against a plain reader.
      {"3,000,000-byte reply, unthrottled, written in one piece (median of " + std::to_string(runs) + ")" +
           integrity,
       d, "ms", "raw pty copy", r, r / d, ">= 0.9", r / d >= 0.9 && all_intact},
      // Not a target: the simulated unit's reply, read by the driver and by a
      // plain reader; the gap is the driver's share of that figure.
      {"3,000,000-byte reply from the simulated unit, vs the unit read without the driver", on_unit, "ms",
       "unit alone", u, u / on_unit, "(attribution)", true},
      {"3,000,000-byte reply at 1 MB/s" + integrity, paced, "ms", "wire time", wire_ms, wire_ms / paced,
       ">= 0.95", wire_ms / paced >= 0.95 && paced_intact},
  };
}

// 3. A call that waits out its deadline on a silent unit.
Figure silent_wait(int seconds) {
  DriverSetup setup;
  ModoLock = 0;
  setup.unit().on_command(5, Script(Act::Silent));
  T_Cons[0] = 0;
  T_Cons[1] = seconds;
  const double cpu0 = thread_cpu_ms();
  const auto start = Clock::now();
  ConsultarSAT(7);
  const double wall = ms_since(start), cpu = thread_cpu_ms() - cpu0;
  T_Cons[1] = 4;
  const double percent = 100.0 * cpu / wall;
  return {"CPU of a call waiting " + std::to_string(seconds) + " s on a silent unit",
          cpu,
          "ms",
          "wall time",
          wall,
          percent,
          "<= 0.5 % of a core",
          percent <= 0.5};
}

std::string build_dir() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  std::string path(self);
  return path.substr(0, path.rfind('/'));
}

// `sat_bench --peak-of PROGRAM ARGS...`: runs the program and prints its
// peak resident memory in KiB. The benchmark runs itself this way, freshly
// started and small, because a child's peak counts the pages it shared with
// its parent between fork and exec (here a reply buffer and a unit).
int peak_of(char** argv) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  dprintf(3, "%ld\n", usage.ru_maxrss);
  return 0;
}

// Runs sat_cli in `dir` and returns its peak resident memory in KiB (0 on
// failure); its output goes to out.txt there.
long run_cli_peak_kib(const std::string& dir, const std::vector<std::string>& args) {
  const std::string self = build_dir() + "/sat_bench", cli = build_dir() + "/sat_cli";
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    const int out = ::open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(pipe_fds[1], 3);  // the figure comes back on descriptor 3
    std::vector<char*> argv{const_cast<char*>(self.c_str()), const_cast<char*>("--peak-of"),
                            const_cast<char*>(cli.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(self.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  char text[64] = {};
  std::size_t got = 0;
  for (ssize_t n; got + 1 < sizeof text && (n = ::read(pipe_fds[0], text + got, sizeof text - 1 - got)) > 0;)
    got += static_cast<std::size_t>(n);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got == 0) {
    std::fprintf(stderr, "sat_cli %s failed (status %d)\n", args[0].c_str(), status);
    return 0;
  }
  return std::atol(text);
}

// 4. The exerciser decoding and saving the log of a 3 MB reply.
Figure cli_peak_memory() {
  DriverSetup setup;
  // A 3 MB log reply (the largest the reply buffer holds is 3,145,727
  // bytes; the decoded log in it is about 2.25 MB).
  setup.unit().set_log_bytes(sim::SimUnit::log_bytes_for_reply(kLogReplyBytes));
  const std::string dir = setup.dir();
  const std::string lib = build_dir() + "/libzunra_sat_rpi.so";
  if (::symlink(lib.c_str(), (dir + "/libzunra_sat_rpi.so").c_str()) != 0) std::perror("symlink");
  std::ofstream(dir + "/sat.ini") << "[DEFAULT]\nSERIAL=" << setup.unit().path() << "\nNO_POPUP=true\n";
  const long base = run_cli_peak_kib(dir, {"ConsultarSAT"});
  const long peak = run_cli_peak_kib(dir, {"ExtrairLogs", "12345678"});
  struct stat saved {};
  const bool intact = ::stat((dir + "/log_sat.txt").c_str(), &saved) == 0 &&
                      saved.st_size >= static_cast<off_t>(kLogReplyBytes / 4 * 3 - 1000);
  const double mib = peak / 1024.0, base_mib = base / 1024.0;
  return {
      std::string("peak memory of sat_cli ExtrairLogs, 3 MB log reply") + (intact ? "" : " (LOG NOT SAVED)"),
      mib,
      "MiB",
      "sat_cli ConsultarSAT",
      base_mib,
      base_mib > 0 ? mib / base_mib : 0,
      "<= 24 MiB",
      intact && peak > 0 && mib <= 24};
}

// Runs `calls` ConsultarSAT calls in a child process, another program on
// the unit, once it can take one byte from `go`; returns the time of each call.
std::vector<double> calls_in_other_program(int calls, int first_session, int go) {
  int results[2];
  if (::pipe(results) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(results[0]);
    char start_signal;
    if (::read(go, &start_signal, 1) != 1) ::_exit(1);
    std::vector<double> ms;
    for (int i = 0; i < calls; ++i) {
      const auto start = Clock::now();
      const char* reply = ConsultarSAT(first_session + i);
      ms.push_back(ms_since(start));
      if (std::strncmp(reply + 6, "|08000|", 7) != 0)
        std::fprintf(stderr, "unexpected reply: %.60s\n", reply);
    }
    const auto bytes = static_cast<ssize_t>(ms.size() * sizeof(double));
    ::_exit(::write(results[1], ms.data(), ms.size() * sizeof(double)) == bytes ? 0 : 1);
  }
  ::close(results[1]);
  std::vector<double> ms(static_cast<std::size_t>(calls));
  std::size_t got = 0;
  const std::size_t want = ms.size() * sizeof(double);
  for (ssize_t n;
       got < want && (n = ::read(results[0], reinterpret_cast<char*>(ms.data()) + got, want - got)) > 0;)
    got += static_cast<std::size_t>(n);
  ::close(results[0]);
  ::waitpid(pid, nullptr, 0);
  if (got < want) ms.clear();
  return ms;
}

double sum(const std::vector<double>& v) {
  double total = 0;
  for (double x : v) total += x;
  return total;
}

// 5 and 6. Programs sharing the unit take the device lock around every call.
std::vector<Figure> shared_unit(int calls) {
  DriverSetup setup;
  ConsultarSAT(1);
  int go[2];
  if (::pipe(go) != 0 || ::write(go[1], "12", 2) != 2) return {};  // each starts at once
  const std::vector<double> first = calls_in_other_program(calls, 1000, go[0]);
  const std::vector<double> second = calls_in_other_program(calls, 2000, go[0]);
  std::vector<double> pause_ms_taken;
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    pause_ms(100);
    pause_ms_taken.push_back(ms_since(start));
  }
  const double base = percentile(pause_ms_taken, 0.5), median = percentile(first, 0.5);

  // Both at once, released together; the clock runs until both are done.
  std::vector<double> a, b;
  std::thread other([&] { b = calls_in_other_program(calls, 4000, go[0]); });
  std::thread one([&] { a = calls_in_other_program(calls, 3000, go[0]); });
  pause_ms(50);  // both forked and waiting
  const auto start = Clock::now();
  const bool released = ::write(go[1], "12", 2) == 2;
  one.join();
  other.join();
  const double together = ms_since(start);
  ::close(go[0]);
  ::close(go[1]);
  const double alone = sum(first) + sum(second);
  const bool complete = released && first.size() == static_cast<std::size_t>(calls) &&
                        a.size() == first.size() && b.size() == first.size() && second.size() == first.size();
  return {
      {"ConsultarSAT round trip of a second program, median of " + std::to_string(calls), median, "ms",
       "lock pause", base, median / base, "<= 1.05", complete && median / base <= 1.05},
      {"two programs at once, " + std::to_string(calls) + " calls each", together, "ms", "each alone, summed",
       alone, together / alone, "<= 1.05", complete && together / alone <= 1.05},
  };
}

// sat_sim as a program of its own, its device read from its first line;
// stopped with SIGTERM at scope exit.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> args) {
    args.insert(args.begin(), build_dir() + "/sat_sim");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    char c;
    for (pollfd p{out[0], POLLIN, 0}; ::poll(&p, 1, 10000) == 1 && ::read(out[0], &c, 1) == 1 && c != '\n';)
      path_ += c;
    ::close(out[0]);
  }
  ~SimProgram() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  SimProgram(const SimProgram&) = delete;
  SimProgram& operator=(const SimProgram&) = delete;
  const std::string& path() const { return path_; }

  // Resident size now, from /proc, in MiB (0 when it cannot be read).
  double resident_mib() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) / 1024.0;
    return 0;
  }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

// 7. sat_sim's resident size after `calls` mixed calls, ten at a time: five
// sales of 1 KB to 1 MB (log-uniform), a cancellation of the last one,
// ExtrairLogs with a 1 MB reply, a session query about a recent sale,
// ConsultarSAT and ConsultarStatusOperacional. Baseline: its size after the
// first 100 calls.
Figure sim_memory(int calls) {
  DriverSetup setup;
  ModoLock = 0;  // the lock pause is figure 1's
  SimProgram sim({"--log-bytes", "750000"});
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, sim.path().c_str());
  const std::string filler(1 << 20, 'x');
  std::mt19937 random(7);
  std::uniform_real_distribution<double> log_size(std::log(1024.0), std::log(1048576.0));
  std::string key, document;
  double warm = 0;
  int unexpected = 0;
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    const int session = 100000 + i;
    std::string reply, want;
    switch (i % 10) {
      case 6:
        reply = CancelarUltimaVenda(session, "12345678", key.c_str(), "<CFeCanc/>"), want = "07000";
        break;
      case 7:
        reply = ExtrairLogs(session, "12345678"), want = "15000";
        break;
      case 8:
        reply = ConsultarNumeroSessao(session, "12345678", session - 4), want = "06000";
        break;
      case 9:
        reply = ConsultarSAT(session), want = "08000";
        break;
      case 0:
        reply = ConsultarStatusOperacional(session, "12345678"), want = "10000";
        break;
      default:
        document = "<CFe><infCFe>" + filler.substr(0, static_cast<std::size_t>(std::exp(log_size(random)))) +
                   "<total><vCFe>1.00</vCFe></total></infCFe></CFe>";
        reply = EnviarDadosVenda(session, "12345678", document.data()), want = "06000";
        if (reply.compare(7, 5, want) == 0) key = reply.substr(reply.find("|CFe") + 1, 47);
    }
    unexpected += reply.compare(7, 5, want) != 0;
    if (i + 1 == std::min(calls, 100)) warm = sim.resident_mib();
  }
  const double resident = sim.resident_mib();
  const double seconds = ms_since(start) / 1000;
  char name[160];
  std::snprintf(name, sizeof name, "sat_sim resident size after %d mixed calls (%.0f s)%s", calls, seconds,
                unexpected ? " (UNEXPECTED REPLIES)" : "");
  return {name,        resident,
          "MiB",       "after 100 calls",
          warm,        warm > 0 ? resident / warm : 0,
          "<= 64 MiB", unexpected == 0 && resident > 0 && resident <= 64};
}

// 9. Each call hands its caller a copy of the reply, made under the call
// lock: for a 3,000,000-byte reply, one pass to find its end and one copy.
// Timed with the thread's block reused (long replies in a row) and new (a
// long reply after a short one, which gave the block back), against a memcpy
// of the same bytes, and as a share of the whole call (`call_ms`).
std::vector<Figure> reply_copy(int runs, double call_ms) {
  std::memset(BC.data, 'A', kLogReplyBytes);
  BC.data[kLogReplyBytes] = '\0';
  std::vector<char> plain(kLogReplyBytes + 1, 'x');
  auto copy = [] { return reply_for_caller(1, "|15098|", false); };
  bool whole = std::strlen(copy()) == kLogReplyBytes;
  std::vector<double> memcpy_ms, reused_ms, fresh_ms;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    std::memcpy(plain.data(), BC.data, plain.size());
    memcpy_ms.push_back(ms_since(start));
    start = Clock::now();
    whole = whole && std::strlen(copy()) == kLogReplyBytes;
    reused_ms.push_back(ms_since(start));
    BC.data[32] = '\0';  // a short reply gives the block back
    copy();
    BC.data[32] = 'A';
    start = Clock::now();
    whole = whole && std::strlen(copy()) == kLogReplyBytes;
    fresh_ms.push_back(ms_since(start));
  }
  whole = whole && plain[kLogReplyBytes - 1] == 'A';
  const double base = percentile(memcpy_ms, 0.5), reused = percentile(reused_ms, 0.5),
               fresh = percentile(fresh_ms, 0.5);
  const std::string n = " (median of " + std::to_string(runs) + ")" + (whole ? "" : " (COPY CUT)");
  return {
      {"caller's copy of a 3,000,000-byte reply, block reused" + n, reused, "ms", "memcpy", base,
       reused / base, "<= 2 (one scan, one copy)", whole && reused / base <= 2},
      {"caller's copy of a 3,000,000-byte reply, new block" + n, fresh, "ms", "memcpy", base, fresh / base,
       "(attribution)", whole},
      {"caller's copy, new block, vs the unthrottled 3,000,000-byte call", fresh, "ms", "call", call_ms,
       call_ms > 0 ? fresh / call_ms : 0, "<= 0.1", whole && call_ms > 0 && fresh / call_ms <= 0.1},
  };
}

// The table, then the JSON on standard output or into `json_path`.
// 8. The journal's cost is one durable line (fdatasync) before the frame and
// one plain line after; the sales alternate on and off so that both see the
// same machine.
std::vector<Figure> journaled_sale(int sales) {
  DriverSetup setup;
  const std::string document =
      "<CFe><infCFe versao=\"0.08\"><det nItem=\"1\"><prod><xProd>Cafe</xProd></prod></det>"
      "<total><vCFe>5.00</vCFe></total></infCFe></CFe>";
  std::vector<double> off_ms, on_ms, line_ms;
  for (int i = 0; i <= sales; ++i) {
    for (const int on : {0, 1}) {
      change_setting(journal_on, on);
      std::string sale = document;
      const auto start = Clock::now();
      const char* reply = EnviarDadosVenda(1000 + 2 * i + on, "12345678", &sale[0]);
      if (i > 0) (on ? on_ms : off_ms).push_back(ms_since(start));  // the first pair settles the device
      if (std::strncmp(reply + 6, "|06000|", 7) != 0)
        std::fprintf(stderr, "unexpected reply: %.60s\n", reply);
    }
  }
  change_setting(journal_on, 0);
  const std::string path = setup.dir() + "/line_alone.jsonl";
  const std::string line =
      JournalRecord("intent").text("id", "bench").text("sha256", std::string(64, '0')).line();
  for (int i = 0; i < sales; ++i) {
    int error = 0;
    const auto start = Clock::now();
    append_journal(path, line, true, error);
    line_ms.push_back(ms_since(start));
  }
  const double off = percentile(off_ms, 0.5), on = percentile(on_ms, 0.5);
  const double on95 = percentile(on_ms, 0.95), off95 = percentile(off_ms, 0.95);
  const double line_median = percentile(line_ms, 0.5);
  return {
      {"sale round trip, journal on, median of " + std::to_string(sales), on, "ms", "journal off", off,
       on / off, "<= 1.05", on / off <= 1.05},
      {"sale round trip, journal on, p95 of " + std::to_string(sales), on95, "ms", "journal off", off95,
       on95 / off95, "<= 1.05", on95 / off95 <= 1.05},
      {"one durable journal line (fdatasync), median", line_median, "ms", "sale, journal off", off,
       line_median / off, "-", true},
  };
}

int report(const std::vector<Figure>& rows, const char* json_path) {
  print_table(rows);
  if (json_path) {
    if (std::FILE* out = std::fopen(json_path, "w")) {
      print_json(rows, out);
      std::fclose(out);
    }
  } else {
    std::printf("\n");
    print_json(rows, stdout);
  }
  return 0;
}

// 10. Fairness: two programs call back to back with the lock pause off, each
// call holding the unit 20 ms. A call waits through the other's calls that
// the unit serves between two of its own program's; its wait is its time
// beyond what a call takes alone.
Figure lock_fairness(int calls) {
  DriverSetup setup;
  ModoLock = 0;  // inherited by both programs
  Script slow(Act::Answer);
  slow.delay = std::chrono::milliseconds(20);
  setup.unit().on_command(5, slow);
  int go[2];
  if (::pipe(go) != 0 || ::write(go[1], "1", 1) != 1) return {};
  const std::vector<double> alone = calls_in_other_program(calls, 1000, go[0]);
  std::vector<double> first, second;
  std::thread one([&] { first = calls_in_other_program(calls, 2000, go[0]); });
  std::thread other([&] { second = calls_in_other_program(calls, 3000, go[0]); });
  pause_ms(50);  // both forked and waiting
  const bool released = ::write(go[1], "12", 2) == 2;
  one.join();
  other.join();
  ::close(go[0]);
  ::close(go[1]);
  // In calls: the longest run of one program's frames on the unit that
  // the other's next frame ended, the other waiting meanwhile.
  int most = 0, run = 0;
  char last = 0;
  for (const std::string& frame : setup.unit().frames()) {
    const char who = frame[6];  // session 2xxx or 3xxx; 1xxx were alone
    if (who == '1') continue;
    if (who != last && last) most = std::max(most, run);
    run = who == last ? run + 1 : 1;
    last = who;
  }
  const double one_call = percentile(alone, 0.5);
  double worst = 0;
  for (const std::vector<double>* calls_of : {&first, &second})
    for (double ms : *calls_of) worst = std::max(worst, ms - one_call);
  const bool complete =
      released && !alone.empty() && first.size() == alone.size() && second.size() == alone.size();
  char name[160];
  std::snprintf(name, sizeof name,
                "most calls of one program a call of another waited through, both calling back to back "
                "(LOCK=false), %d calls each (worst wait %.1f ms, one call %.1f ms)",
                calls, worst, one_call);
  return {name, static_cast<double>(most), "calls", "target",
          1,    static_cast<double>(most), "<= 1",  complete && most <= 1};
}

// 11. A call whose unit another program holds: how long until it answers
// and says so on standard error (its deadline, here 2 s).
Figure taken_unit_said(int seconds) {
  DriverSetup setup;
  ModoLock = 0;
  setup.unit().on_command(5, Script(Act::Silent), 1);
  T_Cons[0] = 0;
  T_Cons[1] = seconds + 30;  // the holder's call
  const pid_t holder = ::fork();
  if (holder == 0) ::_exit(ConsultarSAT(1) ? 0 : 1);
  const bool holding = setup.unit().wait_for_frames(1, std::chrono::seconds(10));
  T_Cons[1] = seconds;
  const auto start = Clock::now();
  const char* reply = ConsultarSAT(2);
  const double took = ms_since(start);
  const bool said = std::strncmp(reply + 6, "|08098|", 7) == 0 && setup.unit().frames().size() == 1;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  T_Cons[1] = 4;
  const double deadline = seconds * 1000.0;
  return {"a call whose unit another program holds, until it says so",
          took,
          "ms",
          "its deadline",
          deadline,
          took / deadline,
          "<= 1.05",
          holding && said && took <= deadline * 1.05};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--peak-of") == 0) return peak_of(argv + 2);
  bool quick = false, sim_memory_only = false, journal_only = false;
  const char* json_path = nullptr;
  parse_options(argc, argv, "sat_bench [--quick] [--sim-memory] [--journal] [--json FILE]",
                "Speed and resource figures of the driver against the simulated unit, each next to a\n"
                "baseline measured in the same run; prints a table and JSON (or writes the JSON to FILE).\n"
                "  --quick       shorter runs (a smoke test, not figures)\n"
                "  --sim-memory  only sat_sim's resident size after 20,000 mixed calls (about a minute)\n"
                "  --journal     only a sale's round trip with the journal on against off\n"
                "  --json FILE   the JSON to FILE instead of standard output\n",
                {{"--quick", false, [&](const char*) { return quick = true; }},
                 {"--sim-memory", false, [&](const char*) { return sim_memory_only = true; }},
                 {"--journal", false, [&](const char*) { return journal_only = true; }},
                 {"--json", true, [&](const char* v) { return (json_path = v) != nullptr; }}});
  std::vector<Figure> rows;
  if (sim_memory_only) {
    rows.push_back(sim_memory(quick ? 500 : 20000));
    return report(rows, json_path);
  }
  if (journal_only) {
    for (Figure& f : journaled_sale(quick ? 10 : 50)) rows.push_back(f);
    return report(rows, json_path);
  }
  for (Figure& f : round_trip(quick ? 10 : 50)) rows.push_back(f);
  rows.push_back(counted_call_cost(quick ? 10000 : 200000, rows.front().value));
  const std::vector<Figure> long_figures = long_reply(quick ? 1 : 9);
  rows.insert(rows.end(), long_figures.begin(), long_figures.end());
  rows.push_back(silent_wait(quick ? 3 : 20));
  rows.push_back(cli_peak_memory());
  for (Figure& f : shared_unit(quick ? 10 : 50)) rows.push_back(f);
  for (Figure& f : journaled_sale(quick ? 10 : 50)) rows.push_back(f);
  for (Figure& f : reply_copy(quick ? 5 : 50, long_figures[0].value)) rows.push_back(f);
  rows.push_back(lock_fairness(quick ? 10 : 50));
  rows.push_back(taken_unit_said(quick ? 1 : 2));
  return report(rows, json_path);
}
