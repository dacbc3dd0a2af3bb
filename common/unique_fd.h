// Owner of one file descriptor, shared by the library, sat_cli, the simulated
// unit and the tests: closes on scope exit so that early returns cannot leak.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zunra {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // For callers that must know whether the close succeeded (a written file's
  // last data can fail there).
  bool close() { return ::close(release()) == 0; }

 private:
  int fd_ = -1;
};

// A descriptor the library opens is never 0, 1 or 2: in a daemon that closed
// its standard streams the device or a log would otherwise become "standard
// output", and the console lines would go into it. Moves `fd` to the lowest
// free number above 2, keeping close-on-exec; -1 (errno kept) stays -1.
inline int off_standard_streams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int error = errno;
  ::close(fd);
  errno = error;
  return moved;
}

}  // namespace zunra
