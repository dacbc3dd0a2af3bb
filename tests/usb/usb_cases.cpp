// The cases the USB stage runs inside its virtual machine, where the kernel's
// own USB serial drivers join the two ends: the library talks to the host
// side (/dev/ttyACM0, cdc-acm) and the simulated unit serves the gadget side
// (/dev/ttyGS0, the CDC-ACM gadget function on dummy_hcd).
//
//   usb_cases drop | logs | unplug | stalled | stalled-till | two
//
// Each run is one case: it prints what it measured on one line and exits 0
// when the case holds, 1 when it does not.
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "settings.h"
#include "sim_unit.h"
#include "unique_fd.h"
#include "zunra_sat.h"

extern "C" char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using zunra::sim::Act;
using zunra::sim::Script;
using zunra::sim::SimUnit;

const char kHost[] = "/dev/ttyACM0";
const char kGadget[] = "/dev/ttyGS0";
const char kCode[] = "12345678";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Field n of a reply ("000007|08000|...") or frame ("|05|000007").
std::string field(const std::string& text, int n) {
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) {
    at = text.find('|', at);
    if (at == std::string::npos) return "";
    ++at;
  }
  const std::size_t end = text.find('|', at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string sale(std::size_t filler) {
  return "<CFe><infCFe><dest><CPF>12345678909</CPF></dest><obs>" + std::string(filler, 'x') +
         "</obs><total><vCFe>12.50</vCFe></total></infCFe></CFe>";
}

// FNV-1a over a text: the checksum the logs case prints for both ends.
unsigned long long checksum(const std::string& text) {
  unsigned long long h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

// The settings every case starts from: what a missing sat.ini gives, loaded
// now, so that the first call does not load them again over ours.
void settings(int venda_s, int sessao_s) {
  init_lib();
  T_Venda[0] = T_Sessao[0] = 0;
  T_Venda[1] = venda_s;
  T_Sessao[1] = sessao_s;
}

int open_raw(const char* path, int flags) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | flags);
  termios t{};
  if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// The gadget's binding to the emulated controller, through configfs.
const char kUdcFile[] = "/sys/kernel/config/usb_gadget/sat/UDC";

bool write_udc(const std::string& text) {
  std::ofstream f(kUdcFile);
  f << text << '\n';
  f.flush();
  return static_cast<bool>(f);
}

std::vector<std::string> host_devices() {
  std::vector<std::string> found;
  glob_t g{};
  if (::glob("/dev/ttyACM*", 0, nullptr, &g) == 0)
    for (std::size_t i = 0; i < g.gl_pathc; ++i) found.push_back(g.gl_pathv[i]);
  ::globfree(&g);
  return found;
}

std::string bound_controller() {
  std::ifstream f(kUdcFile);
  std::string name;
  std::getline(f, name);
  return name;
}

// Polls for a condition every 50 ms up to a limit (device nodes appear
// with no event we could wait on here).
template <typename F>
bool within(std::chrono::milliseconds limit, F done) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Unplugs the gadget and plugs it in again with nothing of ours open on the
// host side: both ends start empty, and the unit is /dev/ttyACM0 again.
bool replug(const SimUnit& unit) {
  const std::string udc = bound_controller();
  const int reopened = unit.reopened();
  return !udc.empty() && write_udc("") && within(5s, [] { return host_devices().empty(); }) &&
         write_udc(udc) && within(10s, [] { return ::access(kHost, F_OK) == 0; }) &&
         within(5s, [&] { return unit.reopened() > reopened; });
}

int report(bool ok, const std::string& line) {
  std::printf("%s\n", line.c_str());
  return ok ? 0 : 1;
}

// 2. A sale whose reply the unit drops: recovered through the session query
// with three attempts, carried out once.
int drop_case() {
  SimUnit::Options o;
  o.device = kGadget;
  SimUnit unit(o);
  settings(5, 10);
  NumTent = 3;
  TmpTent = 3;
  unit.on_command(3, Act::ProcessThenDrop, 1);
  std::string doc = sale(200);
  const auto start = Clock::now();
  const std::string reply = EnviarDadosVenda(4201, kCode, doc.data());
  const double took = seconds_since(start);
  const bool ok = field(reply, 0) == "004201" && field(reply, 1) == "06000" && unit.processed(3, 4201) == 1 &&
                  unit.receipts_issued() == 1;
  char line[256];
  std::snprintf(line, sizeof line, "code %s, carried out %d time(s), %.1f s", field(reply, 1).c_str(),
                unit.processed(3, 4201), took);
  return report(ok, line);
}

// The time of a raw copy of n bytes from the gadget side to the host side.
// `fault` says what went wrong with the bytes, empty when they came intact.
double raw_copy_seconds(std::size_t n, std::string& fault) {
  zunra::UniqueFd host(open_raw(kHost, O_NONBLOCK)), gadget(open_raw(kGadget, O_NONBLOCK));
  if (host.get() < 0 || gadget.get() < 0) {
    fault = "cannot open both ends";
    return -1;
  }
  std::string data(n, '\0');
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>('A' + (i * 7) % 26);
  std::string got;
  got.reserve(n);
  const auto start = Clock::now();
  std::thread writer([&] {
    for (std::size_t at = 0; at < n;) {
      pollfd p{gadget.get(), POLLOUT, 0};
      if (::poll(&p, 1, 10000) <= 0) return;  // the reader gave up
      const ssize_t w = ::write(gadget.get(), data.data() + at, n - at);
      if (w < 0 && errno != EINTR && errno != EAGAIN) return;
      at += w > 0 ? static_cast<std::size_t>(w) : 0;
    }
  });
  char buf[65536];
  std::string stop = "";
  while (got.size() < n) {
    pollfd p{host.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
      stop = "; nothing more for 10 s";
      break;
    }
    const ssize_t r = ::read(host.get(), buf, sizeof buf);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) {
      stop = r == 0 ? "; end of data" : std::string("; ") + std::strerror(errno);
      break;
    }
    got.append(buf, static_cast<std::size_t>(r));
  }
  const double took = seconds_since(start);
  writer.join();
  if (got != data) {
    std::size_t at = 0;
    while (at < got.size() && at < n && got[at] == data[at]) ++at;
    char text[160];
    std::snprintf(text, sizeof text, "%zu bytes came, first difference at %zu (\"%.12s\")", got.size(), at,
                  got.substr(at, 12).c_str());
    fault = text + stop;
  }
  return took;
}

// Bytes the unit wrote while the host side was closed (a late reply to an
// earlier call): how many of them the host side still reads after opening
// and flushing with TCIOFLUSH, as the library does at each open (and, for
// comparison, without the flush).
std::string stale_after_open(bool flush) {
  const std::string stale(1000, 'S');
  zunra::UniqueFd gadget(open_raw(kGadget, O_NONBLOCK));
  const ssize_t written = ::write(gadget.get(), stale.data(), stale.size());
  std::this_thread::sleep_for(300ms);
  zunra::UniqueFd host(open_raw(kHost, O_NONBLOCK));
  if (flush) ::tcflush(host.get(), TCIOFLUSH);
  std::size_t came = 0;
  char buf[4096];
  for (pollfd p{host.get(), POLLIN, 0}; ::poll(&p, 1, 500) > 0;) {
    const ssize_t r = ::read(host.get(), buf, sizeof buf);
    if (r <= 0) break;
    came += static_cast<std::size_t>(r);
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "%zu of %zd bytes the unit wrote while /dev/ttyACM0 was closed were read after open%s", came,
                written, flush ? " and TCIOFLUSH" : " (no flush)");
  return text;
}

// 3. A 3,000,000-byte ExtrairLogs reply, received intact, and its time
// against a raw copy of as many bytes over the same link. The first reply is
// the unit's own; the timed ones repeat it as a canned text, so that what is
// timed is the link and the library rather than the unit encoding its log.
// Best of two of each, as the emulated machine's pace wanders.
int logs_case() {
  std::printf("%s\n%s\n", stale_after_open(false).c_str(), stale_after_open(true).c_str());
  const std::size_t n = 3000000;
  std::string fault;
  double raw = raw_copy_seconds(n, fault);
  if (fault.empty()) raw = std::min(raw, raw_copy_seconds(n, fault));
  SimUnit::Options o;
  o.device = kGadget;
  o.log_bytes = SimUnit::log_bytes_for_reply(n);
  SimUnit unit(o);
  settings(20, 20);
  T_Logs[0] = 1;  // a slow emulated machine must not decide the case
  ModoLock = 0;   // the 100 ms lock pause is not part of the transfer
  const std::string first = ExtrairLogs(4300, kCode);
  const auto sent = unit.replies();
  const std::string expected = sent.empty() ? "" : sent.back();
  if (expected.size() < 6) return report(false, "no ExtrairLogs reply from the unit: " + first.substr(0, 60));
  bool ok = fault.empty() && field(first, 1) == "15000" && first == expected;
  Script canned;
  canned.canned = "{session}" + expected.substr(6);
  unit.on_command(12, canned);
  double took = 1e9;
  for (int session : {4301, 4302}) {
    const auto start = Clock::now();
    const std::string reply = ExtrairLogs(session, kCode);
    took = std::min(took, seconds_since(start));
    ok = ok && reply == std::to_string(session).insert(0, 2, '0') + expected.substr(6);
  }
  char line[480];
  std::snprintf(
      line, sizeof line,
      "reply %zu bytes, checksum %016llx (unit sent %016llx), %.2f s; raw copy %.2f s%s; ratio %.2f "
      "(target >= 0.9)",
      first.size(), checksum(first), checksum(expected), took, raw,
      fault.empty() ? "" : (" CORRUPTED: " + fault).c_str(), took > 0 ? raw / took : 0.0);
  return report(ok, line);
}

// 4. The gadget is unbound while a 3 MB reply flows: the call gives its
// fallback within its deadline + 3 s, and after binding again the next call
// works. Then the same with a descriptor of the old device still open.
int unplug_case() {
  char line[512];
  SimUnit::Options o;
  o.device = kGadget;
  o.log_bytes = SimUnit::log_bytes_for_reply(3000000);
  o.bytes_per_second = 400000;  // about 7 s of reply: time to pull the plug
  auto unit = std::make_unique<SimUnit>(o);
  settings(20, 20);
  T_Logs[0] = 0;
  T_Logs[1] = 12;
  const std::string udc = bound_controller();
  std::atomic<bool> unbound{false};
  std::thread puller([&] {
    // Once the reply is on its way, plus a little.
    if (within(10s, [&] { return !unit->replies().empty(); })) std::this_thread::sleep_for(1s);
    unbound = write_udc("");
  });
  const auto start = Clock::now();
  const std::string during = ExtrairLogs(4401, kCode);
  const double took = seconds_since(start);
  puller.join();
  const bool gone = within(5s, [] { return host_devices().empty(); });
  const bool back = write_udc(udc) && within(10s, [] { return ::access(kHost, F_OK) == 0; }) &&
                    within(5s, [&] { return unit->reopened() >= 1; });
  unit->set_rate_limit(0);
  const std::string after = back ? ConsultarSAT(4402) : "";
  bool ok =
      unbound && gone && back && field(during, 1) == "15098" && took <= 12 + 3 && field(after, 1) == "08000";
  std::snprintf(line, sizeof line, "unplugged: %s in %.1f s (bound 15 s); bound again: %s",
                field(during, 1).c_str(), took, field(after, 1).c_str());
  std::string text = line;

  // Another program still holds the old device while the unit is unplugged
  // and plugged in again.
  {
    zunra::UniqueFd held(::open(kHost, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int reopened = unit->reopened();
    write_udc("");
    within(5s, [] { return ::access(kHost, F_OK) != 0; });
    char probe;
    const ssize_t r = ::read(held.get(), &probe, 1);
    const int read_errno = errno;
    pollfd p{held.get(), POLLIN, 0};
    ::poll(&p, 1, 0);
    write_udc(udc);
    within(10s, [] { return !host_devices().empty(); });
    within(5s, [&] { return unit->reopened() > reopened; });
    const auto names = host_devices();
    const std::string name = names.empty() ? "nothing" : names.front();
    SetDriver("SERIAL", name.c_str());
    const std::string renamed = ConsultarSAT(4403);
    ok = ok && field(renamed, 1) == "08000";
    std::snprintf(line, sizeof line,
                  "; held open across it: read gave %zd (%s), poll 0x%x, came back as %s, call there: %s", r,
                  r < 0 ? std::strerror(read_errno) : "end of data", p.revents, name.c_str(),
                  field(renamed, 1).c_str());
    text += line;
  }
  // Plugged in once more with nothing open, so that the unit is
  // /dev/ttyACM0 again for the cases that follow.
  const bool restored = replug(*unit);
  if (!restored) text += "; /dev/ttyACM0 did not come back";
  return report(ok && restored, text);
}

// The port's closing_wait as a till user sees it, and whether that user may
// change it (the kernel allows it to root only).
std::string port_as_till_user() {
  zunra::UniqueFd d(::open(kHost, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  serial_struct port{};
  if (d.get() < 0 || ::ioctl(d.get(), TIOCGSERIAL, &port) != 0)
    return std::string(kHost) + ": " + std::strerror(errno);
  const bool none = port.closing_wait == ASYNC_CLOSING_WAIT_NONE;
  port.closing_wait = 1234;  // neither none nor the default 30 s
  if (::ioctl(d.get(), TIOCSSERIAL, &port) == 0) return "this user may change the port's closing_wait";
  if (errno != EPERM) return std::string("closing_wait: ") + std::strerror(errno);
  return none ? "" : "closing_wait is not none";
}

// 5. A sale frame larger than the link's buffers while the unit does not
// read: the call ends within its bound and close() does not wait for the
// kernel to drain it.
// 7. The same by a till user (uid/gid 65534, group dialout), for whom the
// library cannot set the port up: only the package's udev program helped.
int stalled_case(bool as_till_user) {
  SimUnit::Options o;
  o.device = kGadget;
  SimUnit unit(o);
  std::string user;
  if (as_till_user) {
    const gid_t dialout = 20;
    // The saved IDs stay root's, to plug the unit in again afterwards.
    if (::setgroups(1, &dialout) != 0 || ::setresgid(65534, 65534, 0) != 0 ||
        ::setresuid(65534, 65534, 0) != 0)
      return report(false, "cannot become a till user");
    user = port_as_till_user();
    if (!user.empty()) return report(false, "till user: " + user);
    user = " as uid 65534, whose own setting was refused;";
  }
  settings(3, 3);
  NumTent = 1;
  unit.stop_reading();
  std::string doc = sale(1400000);
  const auto start = Clock::now();
  const std::string reply = EnviarDadosVenda(4501, kCode, doc.data());
  const double took = seconds_since(start);
  // One send (3 s) and one session query (3 s), each with 3 s to spare.
  const double bound = 12;
  // Whatever of the frame the link still holds must not reach the next case.
  unit.resume_reading();
  const bool root = !as_till_user || (::setresuid(0, 0, 0) == 0 && ::setresgid(0, 0, 0) == 0);
  const bool clean = root && replug(unit);
  char line[320];
  std::snprintf(line, sizeof line, "1.4 MB sale, unit not reading,%s %s in %.1f s (bound %.0f s)%s",
                user.c_str(), field(reply, 1).c_str(), took, bound,
                clean ? "" : "; /dev/ttyACM0 did not come back");
  return report(took <= bound && field(reply, 1) != "06000" && clean, line);
}

// Control bytes shown as '.', for messages.
std::string printable(std::string text) {
  for (char& c : text) c = (c >= 32 && c < 127) ? c : '.';
  return text;
}

// A reply of this session with this code; the first few others are shown.
bool expect(int who, const std::string& reply, const char* session, const char* code) {
  static int shown = 0;
  if (field(reply, 0) == session && field(reply, 1) == code) return true;
  if (++shown <= 3) std::fprintf(stderr, "caller %d, session %s: %.60s\n", who, session, reply.c_str());
  return false;
}

// One of the two callers of case 6: alternating status queries and sales,
// each reply checked for its own session and a success code. Exits with the
// number of replies that were not its own success.
int caller(int who, int rounds) {
  settings(5, 5);
  int wrong = 0;
  for (int i = 0; i < rounds; ++i) {
    const int session = 460000 + who * 1000 + i * 2;
    char own[16];
    std::snprintf(own, sizeof own, "%06d", session);
    const std::string status = ConsultarStatusOperacional(session, kCode);
    wrong += !expect(who, status, own, "10000");
    std::snprintf(own, sizeof own, "%06d", session + 1);
    std::string doc = sale(20000 + who);
    const std::string sold = EnviarDadosVenda(session + 1, kCode, doc.data());
    wrong += !expect(who, sold, own, "06000");
  }
  return wrong;
}

// 6. Two processes on the same device with interleaved calls.
int two_case(const char* self) {
  SimUnit::Options o;
  o.device = kGadget;
  SimUnit unit(o);
  const int rounds = 4;
  std::vector<pid_t> pids;
  for (int who = 1; who <= 2; ++who) {
    std::string w = std::to_string(who), r = std::to_string(rounds), verb = "caller", program = self;
    char* args[] = {program.data(), verb.data(), w.data(), r.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, self, nullptr, nullptr, args, environ) == 0) pids.push_back(pid);
  }
  int wrong = 0;
  bool finished = true;
  const auto end = Clock::now() + 150s;
  for (pid_t pid : pids) {
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() >= end) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        finished = false;
        break;
      }
      std::this_thread::sleep_for(100ms);
    }
    wrong += WIFEXITED(status) ? WEXITSTATUS(status) : rounds * 2;
  }
  // Every frame the unit read is one a caller sent, whole.
  int torn = 0, duplicates = 0;
  for (const std::string& f : unit.frames()) {
    const std::string code = field(f, 1), session = field(f, 2);
    const bool whole_session =
        session.size() == 6 && session.find_first_not_of("0123456789") == std::string::npos;
    const int who = whole_session ? (std::atoi(session.c_str()) - 460000) / 1000 : 0;
    bool whole = code == "08";
    if (code == "07") whole = whole_session && f == "|07|" + session + "|" + kCode;
    if (code == "03") whole = whole_session && f == "|03|" + session + "|" + kCode + "|" + sale(20000 + who);
    if (!whole && ++torn <= 3) {
      std::fprintf(stderr, "torn frame of %zu bytes: %.40s...%s\n", f.size(), printable(f).c_str(),
                   printable(f.substr(f.size() > 40 ? f.size() - 40 : 0)).c_str());
    }
  }
  for (int who = 1; who <= 2; ++who)
    for (int i = 0; i < rounds; ++i) duplicates += unit.processed(3, 460000 + who * 1000 + i * 2 + 1) > 1;
  char line[256];
  std::snprintf(line, sizeof line,
                "%d calls, %d not the caller's own success, %d torn frames, %d duplicate sales%s",
                static_cast<int>(pids.size()) * rounds * 2, wrong, torn, duplicates,
                finished ? "" : ", callers killed after 150 s");
  return report(finished && pids.size() == 2 && wrong == 0 && torn == 0 && duplicates == 0, line);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "";
  if (which == "caller" && argc > 3) return caller(std::atoi(argv[2]), std::atoi(argv[3]));
  if (which == "drop") return drop_case();
  if (which == "logs") return logs_case();
  if (which == "unplug") return unplug_case();
  if (which == "stalled") return stalled_case(false);
  if (which == "stalled-till") return stalled_case(true);
  if (which == "two") return two_case(argv[0]);
  std::fprintf(stderr, "usage: usb_cases drop|logs|unplug|stalled|stalled-till|two\n");
  return 2;
}
