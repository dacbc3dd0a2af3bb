// The unit's line: a pseudo-terminal of its own or a served terminal, frames
// cut out of the bytes that arrive, and output written piece by piece at
// its pace.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "sim_unit_impl.h"

namespace zunra::sim {

using namespace std::chrono_literals;

void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

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
    if (keep_history) {
      std::lock_guard<std::mutex> g(mu);
      raw.append(buf, static_cast<std::size_t>(n));
    }
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

}  // namespace zunra::sim
