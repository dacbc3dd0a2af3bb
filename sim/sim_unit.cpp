#include "sim_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "unique_fd.h"
#include "unit_state.h"

namespace zunra::sim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// One stretch of output: wait `gap` after the previous piece went out, then
// send `bytes`; a hang-up piece closes the line instead.
struct Piece {
  std::string bytes;
  std::chrono::microseconds gap{0};
  bool hang_up = false;
  std::size_t sent = 0;
};

struct Rule {
  int code;
  Script script;
  int times;  // -1: always
};

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

}  // namespace

struct SimUnit::Impl {
  explicit Impl(const Options& o)
      : state(UnitState::Config{o.activated, o.activation_code, o.log_bytes, o.short_cancel_reply}),
        rate(o.bytes_per_second),
        device(o.device) {}

  // Set up once, then only the unit thread touches the line.
  UniqueFd master, slave, wake;
  std::string path;
  std::thread thread;

  mutable std::mutex mu;
  mutable std::condition_variable changed;
  UnitState state;
  std::vector<Rule> rules;
  std::deque<Script> schedule;
  std::vector<std::string> frames;
  std::string raw;
  std::vector<std::string> replies;
  std::size_t rate;
  const std::string device;  // empty: a pseudo-terminal of our own
  int reopens = 0;
  bool reading = true;
  bool hang_up_asked = false;
  bool hung_up = false;
  bool stopping = false;
  bool running = false;

  // Unit thread only.
  std::string input;
  std::size_t scanned = 0;  // input searched for a frame end so far
  std::deque<Piece> out;
  Clock::time_point due;
  Clock::time_point hang_up_since{};

  void open_line();
  bool open_device();    // false when the device is not there (yet)
  bool follow_device();  // after a hang-up: false when the unit is stopping
  void run();
  void poke() const {
    const uint64_t one = 1;
    const ssize_t n = ::write(wake.get(), &one, sizeof one);
    (void)n;  // a counter that cannot take more already wakes the unit
  }
  Script pick(int code);
  // Reads what is there, then handles complete frames. False when a served
  // device hung up (end of data or a read error).
  bool take_input(bool readable);
  void handle(const std::string& text);
  void push(Piece p);
  void push_text(const std::string& text, std::chrono::microseconds first_gap, const Script& s,
                 std::size_t unit_rate);
  bool flush_output();  // false once the line is closed
  void close_line();
};

void SimUnit::Impl::open_line() {
  wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) fail("eventfd");
  if (!device.empty()) {
    path = device;
    if (!open_device()) fail(device.c_str());
    return;
  }
  master = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master) fail("posix_openpt");
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) fail("unlockpt");
  char name[128];
  if (::ptsname_r(master.get(), name, sizeof name) != 0) fail("ptsname_r");
  path = name;
  // The unit keeps the slave open itself, so the master never sees the
  // hang-up of the driver closing the device after each exchange.
  slave = UniqueFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) fail("open pty slave");
  termios t{};
  if (::tcgetattr(slave.get(), &t) != 0) fail("tcgetattr");
  ::cfmakeraw(&t);  // a USB serial device passes every byte as it is
  if (::tcsetattr(slave.get(), TCSANOW, &t) != 0) fail("tcsetattr");
  if (::fcntl(master.get(), F_SETFL, O_NONBLOCK) != 0) fail("fcntl");
}

bool SimUnit::Impl::open_device() {
  UniqueFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return false;
  // Raw at once: a gadget port starts with echo on, and would send the
  // driver's frames straight back to it.
  termios t{};
  if (::tcgetattr(fd.get(), &t) != 0) return false;
  ::cfmakeraw(&t);
  if (::tcsetattr(fd.get(), TCSANOW, &t) != 0) return false;
  // Bytes the port kept from before we opened it (a frame of a previous run
  // the unit never read) would glue onto the first frame.
  ::tcflush(fd.get(), TCIFLUSH);
  std::lock_guard<std::mutex> g(mu);
  master = std::move(fd);
  return true;
}

// The gadget was unbound (or the terminal hung up): what was in flight is
// gone with the line. The port is opened again after a pause, so that a
// line that keeps hanging up is retried ten times a second, not in a spin.
bool SimUnit::Impl::follow_device() {
  {
    std::lock_guard<std::mutex> g(mu);
    master.reset();
  }
  input.clear();
  scanned = 0;
  out.clear();
  hang_up_since = {};
  for (;;) {
    pollfd p{wake.get(), POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      uint64_t count;
      if (::read(wake.get(), &count, sizeof count) < 0) { /* nothing pending */
      }
    }
    {
      std::lock_guard<std::mutex> g(mu);
      if (stopping || hang_up_asked) return false;
    }
    if (open_device()) {
      std::lock_guard<std::mutex> g(mu);
      ++reopens;
      return true;
    }
  }
}

Script SimUnit::Impl::pick(int code) {
  if (!schedule.empty()) {
    Script s = std::move(schedule.front());
    schedule.pop_front();
    return s;
  }
  for (int wanted : {code, 0}) {
    for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
      if (it->code != wanted) continue;
      Script s = it->script;
      if (it->times > 0 && --it->times == 0) rules.erase(std::next(it).base());
      return s;
    }
  }
  return Script{};
}

void SimUnit::Impl::push(Piece p) {
  if (out.empty()) due = Clock::now() + p.gap;
  out.push_back(std::move(p));
}

// Splits the text into chunks with pauses, and each chunk into slices paced
// to the byte rate.
void SimUnit::Impl::push_text(const std::string& text, std::chrono::microseconds first_gap, const Script& s,
                              std::size_t unit_rate) {
  const std::size_t bps = s.bytes_per_second ? s.bytes_per_second : unit_rate;
  const std::size_t chunk = s.chunk ? s.chunk : text.size() + 1;
  const std::size_t slice = bps ? std::max<std::size_t>(1, bps / 100) : text.size() + 1;
  std::chrono::microseconds gap = first_gap;
  for (std::size_t at = 0; at < text.size(); at += chunk) {
    const std::string part = text.substr(at, chunk);
    for (std::size_t in = 0; in < part.size(); in += slice) {
      const std::string bytes = part.substr(in, slice);
      push(Piece{bytes, gap, false, 0});
      gap = bps ? std::chrono::microseconds(bytes.size() * 1000000 / bps) : std::chrono::microseconds(0);
    }
    gap = std::chrono::duration_cast<std::chrono::microseconds>(s.chunk_pause);
  }
  if (text.empty()) push(Piece{"", gap, false, 0});
}

void SimUnit::Impl::handle(const std::string& text) {
  const Frame f = parse_frame(text);
  Script s;
  std::string reply;
  std::size_t unit_rate;
  {
    std::lock_guard<std::mutex> g(mu);
    unit_rate = rate;
    frames.push_back(text);
    s = pick(f.code);
    switch (s.act) {
      case Act::StopReading:
        reading = false;
        [[fallthrough]];
      case Act::Answer:
        if (!s.canned.empty())
          reply = replace_all(s.canned, "{session}", f.session_text);
        else
          reply = state.process(f);
        break;
      case Act::ProcessThenDrop:
        state.process(f);
        break;
      case Act::Busy:
        if (f.code >= 0) reply = busy_reply(f);
        break;
      case Act::Silent:
      case Act::HangUp:
        break;
    }
    if (!reply.empty()) replies.push_back(reply);
  }
  changed.notify_all();

  auto gap = std::chrono::duration_cast<std::chrono::microseconds>(s.delay);
  if (s.act == Act::HangUp) {
    push(Piece{"", gap, true, 0});
    return;
  }
  if (reply.empty()) return;
  if (!s.garbage_before.empty()) {
    push_text(s.garbage_before, gap, Script{}, 0);
    gap = {};
  }
  if (s.wrong_session_first) {
    char other[24];
    std::snprintf(other, sizeof other, "%06d", f.session < 0 ? 999999 : (f.session + 1) % 1000000);
    const std::size_t bar = reply.find('|');
    push_text(other + (bar == std::string::npos ? std::string() : reply.substr(bar)) + '\x03', gap, s,
              unit_rate);
    gap = {};
  }
  std::string bytes = reply + '\x03';
  const bool cut = s.hang_up_after < bytes.size();
  if (cut) bytes.resize(s.hang_up_after);
  push_text(bytes, gap, s, unit_rate);
  if (cut) {
    push(Piece{"", {}, true, 0});
    return;
  }
  if (!s.garbage_after.empty()) push_text(s.garbage_after, {}, Script{}, 0);
}

bool SimUnit::Impl::take_input(bool readable) {
  char buf[65536];
  for (int round = 0; readable && round < 64; ++round) {
    const ssize_t n = ::read(master.get(), buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      if (!device.empty()) return false;
      break;
    }
    if (n < 0) break;
    input.append(buf, static_cast<std::size_t>(n));
    {
      std::lock_guard<std::mutex> g(mu);
      raw.append(buf, static_cast<std::size_t>(n));
    }
    changed.notify_all();
  }
  // A frame ends at '|' followed by 0x03; earlier bars belong to its fields.
  // Long frames come in many reads: search only what is new.
  for (;;) {
    const std::size_t end = input.find("|\x03", scanned ? scanned - 1 : 0);
    if (end == std::string::npos) {
      scanned = input.size();
      break;
    }
    const std::string text = input.substr(0, end);
    input.erase(0, end + 2);
    scanned = 0;
    handle(text);
    std::lock_guard<std::mutex> g(mu);
    if (!reading) break;  // what follows stays unread, as on a unit that stopped
  }
  return true;
}

bool SimUnit::Impl::flush_output() {
  while (!out.empty() && Clock::now() >= due) {
    Piece& p = out.front();
    if (p.hang_up) {
      // Let the driver take the bytes already sent: a hang-up throws away
      // whatever still waits in the line.
      const auto now = Clock::now();
      if (hang_up_since == Clock::time_point{}) hang_up_since = now;
      int pending = 0;
      if (slave)
        ::ioctl(slave.get(), FIONREAD, &pending);
      else
        ::ioctl(master.get(), TIOCOUTQ, &pending);
      const auto waited = now - hang_up_since;
      if ((waited < 20ms || pending > 0) && waited < 1s) {
        due = now + 5ms;
        return true;
      }
      close_line();
      return false;
    }
    while (p.sent < p.bytes.size()) {
      const ssize_t n = ::write(master.get(), p.bytes.data() + p.sent, p.bytes.size() - p.sent);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return true;  // the driver is not reading: wait for room
        out.clear();                       // the line refuses bytes: nothing more can go out
        return true;
      }
      p.sent += static_cast<std::size_t>(n);
    }
    out.pop_front();
    // Paced from the previous due time, not from now: the time a write and
    // a wake-up take must not slow a rate-limited reply below its rate.
    if (!out.empty()) due = std::max(due + out.front().gap, Clock::now());
  }
  return true;
}

void SimUnit::Impl::close_line() {
  {
    std::lock_guard<std::mutex> g(mu);
    master.reset();
    slave.reset();
    hung_up = true;
  }
  changed.notify_all();
}

void SimUnit::Impl::run() {
  for (;;) {
    bool want_input;
    {
      std::lock_guard<std::mutex> g(mu);
      if (stopping) return;
      if (hang_up_asked) {
        hang_up_asked = false;
        out.clear();
        break;
      }
      want_input = reading;
    }
    if (!flush_output()) return;
    const bool pending = !out.empty();
    const bool due_now = pending && Clock::now() >= due;
    int timeout = -1;
    if (pending && !due_now) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
      timeout = static_cast<int>(std::max<long long>(0, left));
    }
    pollfd fds[2] = {
        {wake.get(), POLLIN, 0},
        {master.get(), static_cast<short>((want_input ? POLLIN : 0) | (due_now ? POLLOUT : 0)), 0}};
    const int r = ::poll(fds, 2, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      if (::read(wake.get(), &count, sizeof count) < 0) { /* nothing pending */
      }
    }
    const bool line_down = fds[1].revents & (POLLERR | POLLHUP | POLLNVAL);
    if (!device.empty() && line_down) {
      if (follow_device()) continue;
      break;
    }
    if (fds[1].revents & (POLLERR | POLLNVAL)) return;
    // Frames left unhandled when the unit stopped reading are taken up again.
    if (want_input && !take_input(fds[1].revents & POLLIN)) {
      if (follow_device()) continue;
      break;
    }
  }
  close_line();
}

SimUnit::SimUnit() : SimUnit(Options{}) {}

SimUnit::SimUnit(Options options) : impl_(std::make_unique<Impl>(options)) {
  impl_->open_line();
  impl_->running = true;
  impl_->thread = std::thread([this] {
    impl_->run();
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->running = false;
    impl_->changed.notify_all();
  });
}

SimUnit::~SimUnit() {
  {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->stopping = true;
  }
  impl_->poke();
  impl_->thread.join();
}

const std::string& SimUnit::path() const {
  return impl_->path;
}

void SimUnit::on_command(int code, Script script, int times) {
  if (times == 0) return;
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->rules.push_back(Rule{code, std::move(script), times});
}

void SimUnit::schedule(std::vector<Script> next_frames) {
  std::lock_guard<std::mutex> g(impl_->mu);
  for (auto& s : next_frames) impl_->schedule.push_back(std::move(s));
}

void SimUnit::clear_scripts() {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->rules.clear();
  impl_->schedule.clear();
}

void SimUnit::set_rate_limit(std::size_t bytes_per_second) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->rate = bytes_per_second;
}

void SimUnit::set_log_bytes(std::size_t n) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->state.set_log_bytes(n);
}

std::size_t SimUnit::log_bytes_for_reply(std::size_t reply_bytes) {
  const std::size_t head = UnitState::log_reply_head_bytes();
  return reply_bytes > head ? (reply_bytes - head + 3) / 4 * 3 : 0;
}

void SimUnit::stop_reading() {
  {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->reading = false;
  }
  impl_->poke();
}

void SimUnit::resume_reading() {
  {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->reading = true;
  }
  impl_->poke();
}

void SimUnit::hang_up() {
  std::unique_lock<std::mutex> g(impl_->mu);
  if (impl_->hung_up) return;
  if (!impl_->running) {
    impl_->master.reset();
    impl_->slave.reset();
    impl_->hung_up = true;
    return;
  }
  impl_->hang_up_asked = true;
  g.unlock();
  impl_->poke();
  g.lock();
  impl_->changed.wait(g, [this] { return impl_->hung_up || !impl_->running; });
}

int SimUnit::reopened() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->reopens;
}

bool SimUnit::hung_up() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->hung_up;
}

std::vector<std::string> SimUnit::frames() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->frames;
}

std::string SimUnit::raw() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->raw;
}

std::vector<std::string> SimUnit::replies() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->replies;
}

bool SimUnit::wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> g(impl_->mu);
  return impl_->changed.wait_for(g, timeout, [&] { return impl_->frames.size() >= n; });
}

int SimUnit::processed(int code, int session) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->state.processed(code, session);
}

int SimUnit::receipts_issued() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->state.receipts_issued();
}

std::string SimUnit::last_sale_key() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  const std::string key = impl_->state.last_sale_key();
  return key.empty() ? key : "CFe" + key;
}

std::string SimUnit::stored_reply(int session) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->state.stored_reply(session);
}

}  // namespace zunra::sim
