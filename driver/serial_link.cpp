#include "serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "exchange.h"
#include "settings.h"

extern "C" {
int fdUSB = -1;
fd_set inputUSB;
fd_set outputUSB;
struct timeval timeoutUSB;
}

namespace zunra {

namespace {

SerialDevice g_device;
LinkState g_link;

constexpr char kTerminator = 0x03;
constexpr char kTrailer[] = {'|', kTerminator};
constexpr int kFirstBytesWaitMs = 50;
constexpr int kStepBudgetMs = 2000;

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

// Room left in BC for reply bytes, keeping one byte for the NUL.
std::size_t reply_room() {
  const std::size_t capacity =
      (BC.size > 0 && static_cast<std::size_t>(BC.size) <= kReplyCapacity) ? BC.size : kReplyCapacity;
  if (BC.count < 0) BC.count = 0;
  if (static_cast<std::size_t>(BC.count) >= capacity) BC.count = static_cast<int>(capacity - 1);
  const std::size_t used = static_cast<std::size_t>(BC.count);
  return used + 1 < capacity ? capacity - 1 - used : 0;
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
  return SerialDevice(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

int SerialDevice::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void SerialDevice::close() {
  if (fd_ >= 0) ::close(release());
}

SerialDevice& device() {
  return g_device;
}
void close_device() {
  g_device.close();
}
LinkState& link_state() {
  return g_link;
}

bool send_frame(const char* frame, const Deadline& deadline) {
  const int fd = g_device.fd();
  if (fd < 0) return false;
  put_in_set(fd, &outputUSB);
  // No output flush after the writes: on a pty and on some USB serial
  // drivers it throws away bytes written but not yet taken.
  return write_all(fd, frame, std::strlen(frame), deadline) &&
         write_all(fd, kTrailer, sizeof kTrailer, deadline);
}

int read_step(const Deadline& deadline) {
  const int fd = g_device.fd();
  if (fd < 0) {
    g_link.lost = true;
    return 0;
  }
  put_in_set(fd, &inputUSB);
  timeoutUSB = {2, 0};

  int pending = pending_bytes(fd);
  if (pending == 0) {
    // Nothing yet: wait up to 50 ms, but pick the reply up the moment it starts.
    switch (wait_for(fd, POLLIN, deadline.capped_ms(kFirstBytesWaitMs))) {
      case Readiness::ready:
        pending = pending_bytes(fd);
        break;
      case Readiness::hangup:
        g_link.lost = true;
        break;
      case Readiness::timeout:
        break;
    }
  }
  log_pending(pending);
  if (pending <= 0) return pending;

  // The waits of one step share one budget. Nothing is discarded when the
  // step ends: a long reply goes on in the next step.
  const Deadline budget = Deadline::in_ms(kStepBudgetMs);
  for (;;) {
    pending = pending_bytes(fd);
    const std::size_t room = reply_room();
    if (pending > 0 && room == 0) {
      g_link.overflow = true;
      break;
    }
    const std::size_t want = std::min(static_cast<std::size_t>(std::max(pending, 0)), room);
    const ssize_t n = want > 0 ? ::read(fd, BC.data + BC.count, want) : 0;
    const int read_errno = errno;
    if (n > 0) BC.count += static_cast<int>(n);
    log_read(static_cast<long>(n), pending);
    BC.data[BC.count] = '\0';

    if (BC.count > 0 && BC.data[BC.count - 1] == kTerminator) break;
    if (n < 0 && read_errno != EAGAIN && read_errno != EWOULDBLOCK && read_errno != EINTR) {
      g_link.lost = true;  // EIO: the device went away
      break;
    }
    if (n == 0) break;  // end of data
    const Readiness more = wait_for(fd, POLLIN, budget);
    if (more == Readiness::hangup) g_link.lost = true;
    if (more != Readiness::ready) break;
  }
  return pending;
}

}  // namespace zunra

extern "C" {

int init_usb(char* path, int /*mode*/) {
  zunra::ensure_settings_loaded();
  zunra::link_state() = zunra::LinkState{};
  zunra::SerialDevice dev = zunra::SerialDevice::open(zunra::text_or_empty(path));
  fdUSB = dev.fd();
  // An earlier descriptor still open is closed here rather than leaked.
  zunra::device() = std::move(dev);
  if (fdUSB < 0) {
    zunra::console("init_usb: Falha ao tentar abrir o dispositivo %s\n", zunra::serial_path().text);
    return -1;
  }
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
  zunra::put_in_set(fdUSB, &inputUSB);
  zunra::put_in_set(fdUSB, &outputUSB);
  timeoutUSB = {2, 0};
  return 0;
}

int envia_usb(char* frame) {
  return zunra::send_frame(zunra::text_or_empty(frame), zunra::exchange_deadline()) ? 0 : -1;
}

int le_usb(void) {
  return zunra::read_step(zunra::exchange_deadline());
}
}
