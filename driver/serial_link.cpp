#include "serial_link.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "driver_log.h"
#include "settings.h"
#include "unique_fd.h"

extern "C" {
int fdUSB = -1;
fd_set inputUSB;
fd_set outputUSB;
struct timeval timeoutUSB;
}

namespace zunra {

namespace {

constexpr char kTrailer[] = {'|', kTerminator};
constexpr int kFirstBytesWaitMs = 50;
constexpr int kStepBudgetMs = 2000;
constexpr int kDrainGraceMs = 100;

// A descriptor beyond FD_SETSIZE cannot go into an fd_set without writing
// past it; the sets are only kept for callers that look at them.
void put_in_set(int fd, fd_set* set) {
  if (fd >= 0 && fd < FD_SETSIZE) FD_SET(fd, set);
}

int pending_bytes(int fd) {
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) != 0) return 0;
  return pending;
}

bool write_all(int fd, const char* data, std::size_t length, const Deadline& deadline) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n > 0) {
      data += n;
      length -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The unit is not taking bytes right now: wait, but never past the deadline.
    if (wait_for(fd, POLLOUT, deadline) != Readiness::ready) return false;
  }
  return true;
}

// Output still queued for the unit when the device is closed: a unit that
// reads gets it (up to 100 ms), the rest is thrown away. close() would
// otherwise wait for the kernel to drain it, 30 s on a USB serial port
// whose unit stopped reading.
void discard_unsent(int fd) {
  const auto queued = [fd] {
    int n = 0;
    return ::ioctl(fd, TIOCOUTQ, &n) == 0 ? n : 0;
  };
  if (queued() > 0 && !retry_until(Deadline::in_ms(kDrainGraceMs), 10, [&] { return queued() == 0; }))
    ::tcflush(fd, TCOFLUSH);
}

void log_pending(int pending) {
  console("le_usb -> bytes: %d\n", pending);
  if (setting(ModoDebug)) {
    char detail[16];
    std::snprintf(detail, sizeof detail, "%d", pending);
    debug_log("le_usb - bytes: ", detail);
  }
}

void log_read(long n, int pending) {
  console("le_usb -> bytes lidos: %ld de %d\n", n, pending);
  if (setting(ModoDebug)) {
    char detail[48];
    std::snprintf(detail, sizeof detail, "%ld de %d", n, pending);
    debug_log("le_usb - bytes lidos: ", detail);
  }
}

}  // namespace

SerialDevice& SerialDevice::operator=(SerialDevice&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

SerialDevice SerialDevice::open(const char* path) {
  return SerialDevice(off_standard_streams(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)));
}

int SerialDevice::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void SerialDevice::close() {
  if (fd_ < 0) return;
  discard_unsent(fd_);
  ::close(release());
}

namespace {

// The port is the unit's alone, and a unit that stopped reading must not
// hold close() for the 30 s a USB serial port waits by default to drain
// output (discarding it does not reach what cdc-acm has handed to USB).
// The kernel takes this from root only; for the till's users the package's
// udev rule sets it when the unit is plugged in. Failures are expected
// (EPERM, or ENOTTY/EINVAL on a pty) and change nothing.
void never_wait_at_close(int fd) {
  serial_struct port{};
  if (::ioctl(fd, TIOCGSERIAL, &port) != 0 || port.closing_wait == ASYNC_CLOSING_WAIT_NONE) return;
  port.closing_wait = ASYNC_CLOSING_WAIT_NONE;
  ::ioctl(fd, TIOCSSERIAL, &port);
}

}  // namespace

SerialDevice open_link(const char* path, const struct stat& named, const char*& refused) {
  SerialDevice device = SerialDevice::open(path);
  struct stat opened;
  if (device.is_open()) {
    if (::fstat(device.fd(), &opened) != 0 || !S_ISCHR(opened.st_mode) || !::isatty(device.fd()))
      refused = "Dispositivo nao e um terminal: ";
    else if (opened.st_rdev != named.st_rdev)
      refused = "Dispositivo trocado durante a abertura: ";
    if (refused) ::close(device.release());  // not a terminal: no terminal call on it either
  }
  fdUSB = device.fd();
  if (!device.is_open()) return device;
  never_wait_at_close(fdUSB);
  // The descriptor stays non-blocking: reads only take what is pending, and
  // writes must be able to give up at the exchange deadline.
  termios attributes;
  if (::tcgetattr(fdUSB, &attributes) == 0) {
    attributes.c_cflag |= CRTSCTS | CREAD | CLOCAL;
    attributes.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE);
    attributes.c_iflag &= ~(IXON | IXOFF | IXANY);
    attributes.c_oflag &= ~OPOST;
    ::tcsetattr(fdUSB, TCSANOW, &attributes);
  }
  // Whatever an earlier exchange left behind is not part of this reply.
  ::tcflush(fdUSB, TCIOFLUSH);

  FD_ZERO(&inputUSB);
  FD_ZERO(&outputUSB);
  put_in_set(fdUSB, &inputUSB);
  put_in_set(fdUSB, &outputUSB);
  timeoutUSB = {2, 0};
  return device;
}

bool still_a_terminal(const SerialDevice& device) {
  return device.is_open() && ::isatty(device.fd());
}

bool send_frame(const SerialDevice& device, std::string_view frame, const Deadline& deadline) {
  const int fd = device.fd();
  if (fd < 0) return false;
  put_in_set(fd, &outputUSB);
  // No output flush after the writes: on a pty and on some USB serial
  // drivers it throws away bytes written but not yet taken.
  return write_all(fd, frame.data(), frame.size(), deadline) &&
         write_all(fd, kTrailer, sizeof kTrailer, deadline);
}

ReadStep read_step(const SerialDevice& device, ByteSpan into, const Deadline& deadline) {
  ReadStep step;
  const int fd = device.fd();
  if (fd < 0) {
    step.hung_up = true;
    return step;
  }
  put_in_set(fd, &inputUSB);
  timeoutUSB = {2, 0};

  step.pending = pending_bytes(fd);
  if (step.pending == 0) {
    // Nothing yet: wait up to 50 ms, but pick the reply up the moment it starts.
    switch (wait_for(fd, POLLIN, deadline.capped_ms(kFirstBytesWaitMs))) {
      case Readiness::ready:
        step.pending = pending_bytes(fd);
        break;
      case Readiness::hangup:
        step.hung_up = true;
        break;
      case Readiness::timeout:
        break;
    }
  }
  log_pending(step.pending);
  if (step.pending <= 0) return step;

  // The waits of one step share one budget.
  const Deadline budget = Deadline::in_ms(kStepBudgetMs);
  for (;;) {
    step.pending = pending_bytes(fd);
    const std::size_t room = into.size - step.bytes;
    if (step.pending > 0 && room == 0) {
      step.overflow = true;
      break;
    }
    const std::size_t want = std::min(static_cast<std::size_t>(std::max(step.pending, 0)), room);
    const ssize_t n = want > 0 ? ::read(fd, into.data + step.bytes, want) : 0;
    const int read_errno = errno;
    if (n > 0) step.bytes += static_cast<std::size_t>(n);
    log_read(static_cast<long>(n), step.pending);

    if (step.bytes > 0 && into.data[step.bytes - 1] == kTerminator) break;
    if (n < 0 && read_errno != EAGAIN && read_errno != EWOULDBLOCK && read_errno != EINTR) {
      step.hung_up = true;  // EIO: the device went away
      break;
    }
    if (n == 0) break;  // end of data
    const Readiness more = wait_for(fd, POLLIN, budget);
    if (more == Readiness::hangup) step.hung_up = true;
    if (more != Readiness::ready) break;
  }
  return step;
}

}  // namespace zunra
