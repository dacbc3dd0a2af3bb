#include "device_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "counters.h"
#include "settings.h"
#include "unique_fd.h"

namespace zunra {

const char* lock_dir = "/run/lock";

namespace {

// Between two tries for a lock another process holds. Short enough that a
// waiting call starts within a few milliseconds of the holder's release, and
// well inside the 100 ms pause with which the holder's next call starts.
constexpr std::int64_t kLongestLockStepMs = 10;

// Lock file descriptors open in this process, for the fork child to close.
// More than a few at once only happens with the call lock off, where calls
// from several threads are not supported anyway.
std::atomic<int> g_open_lock_files[8] = {-1, -1, -1, -1, -1, -1, -1, -1};

void remember_open(int fd) {
  for (auto& slot : g_open_lock_files) {
    int free_slot = -1;
    if (slot.compare_exchange_strong(free_slot, fd)) return;
  }
}

void forget_open(int fd) {
  for (auto& slot : g_open_lock_files) {
    int mine = fd;
    if (slot.compare_exchange_strong(mine, -1)) return;
  }
}

void (*g_reset_in_child)() = nullptr;

void in_fork_child() {
  // Only close: an flock belongs to the open file, which the parent shares,
  // and unlocking here would let another process in while the parent's
  // exchange runs.
  for (auto& slot : g_open_lock_files) {
    const int fd = slot.exchange(-1);
    if (fd >= 0) ::close(fd);
  }
  if (g_reset_in_child) g_reset_in_child();
}

// A lock file we have just made: readable by the device's group (dialout),
// so that every program allowed to talk to the unit can lock it too,
// whatever our umask. Without that group, readable by all.
void open_to_device_group(int fd, const struct stat& device) {
  if (::fchown(fd, static_cast<uid_t>(-1), device.st_gid) == 0)
    ::fchmod(fd, 0660);
  else
    ::fchmod(fd, 0644);
}

// Opens the lock file `path`, making it when missing. The file is only ever
// opened for reading and never written, and a file found there must be a
// plain file: a planted link is not followed (O_NOFOLLOW), a FIFO does not
// block the open (O_NONBLOCK) and is refused, like a device.
int open_lock_file(const std::string& path, const struct stat& device) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  for (int round = 0; round < 3; ++round) {
    int raw = off_standard_streams(::open(path.c_str(), kFlags));
    bool made = false;
    if (raw < 0 && errno == ENOENT) {
      // Made exclusively: in a sticky shared directory an O_CREAT open of
      // someone else's file may be refused, and a link is never followed.
      raw = off_standard_streams(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0660));
      if (raw < 0 && errno == EEXIST) continue;  // another process made it meanwhile
      made = raw >= 0;
    }
    if (raw < 0) return -1;
    UniqueFd fd(raw);
    if (made) open_to_device_group(fd.get(), device);
    struct stat status;
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    return fd.release();
  }
  return -1;
}

// The PID that holds an flock on the file open as `fd`, from /proc/locks;
// 0 when it cannot be told.
int flock_holder(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return 0;
  UniqueFd raw(off_standard_streams(::open("/proc/locks", O_RDONLY | O_CLOEXEC)));
  if (!raw) return 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> locks(::fdopen(raw.get(), "r"), &std::fclose);
  if (!locks) return 0;
  raw.release();
  char line[256];
  while (std::fgets(line, sizeof line, locks.get())) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"; waiters show "->".
    char kind[16];
    int pid = 0;
    unsigned dev_major = 0, dev_minor = 0;
    unsigned long inode = 0;
    if (std::strstr(line, "->") != nullptr) continue;
    const int fields =
        std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &dev_major, &dev_minor, &inode);
    if (fields == 5 && std::strcmp(kind, "FLOCK") == 0 && inode == status.st_ino &&
        dev_major == major(status.st_dev) && dev_minor == minor(status.st_dev))
      return pid;
  }
  return 0;
}

}  // namespace

std::string lock_file_name(dev_t device) {
  char name[64];
  std::snprintf(name, sizeof name, "zunra_sat_%u_%u.lock", major(device), minor(device));
  return name;
}

int lock_holder(const struct stat& device, std::string& file) {
  const std::string name = lock_file_name(device.st_rdev);
  for (const std::string& dir : {std::string(lock_dir), settings_dir()}) {
    file = dir + "/" + name;
    UniqueFd fd(off_standard_streams(
        ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)));
    struct stat status;
    if (fd && ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode)) return flock_holder(fd.get());
  }
  file.clear();
  return -1;
}

DeviceLock::Outcome DeviceLock::acquire(const struct stat& device, const Deadline& deadline) {
  if (held() && device_ == device.st_rdev) return Outcome::held;
  release();
  holder_ = 0;
  const std::string name = lock_file_name(device.st_rdev);
  // /run/lock where it gives a lock file, else the settings directory. Every
  // process sees the same files, so all of them settle on the same one.
  int fd = -1;
  for (const std::string& dir : {std::string(lock_dir), settings_dir()}) {
    file_ = dir + "/" + name;
    if ((fd = open_lock_file(file_, device)) >= 0) break;
  }
  if (fd < 0) return Outcome::no_lock_file;
  remember_open(fd);
  bool unusable = false;
  int tries = 0;
  const auto start = std::chrono::steady_clock::now();
  const bool got = retry_until(deadline, kLongestLockStepMs, [&] {
    ++tries;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      unusable = errno != EWOULDBLOCK;
      return unusable;  // stop trying on anything but "held by another"
    }
    return true;
  });
  if (tries > 1)
    counters::lock_waited(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count());
  if (got && !unusable) {
    fd_ = fd;
    device_ = device.st_rdev;
    return Outcome::held;
  }
  if (!unusable) holder_ = flock_holder(fd);
  forget_open(fd);
  ::close(fd);
  return unusable ? Outcome::no_lock_file : Outcome::busy;
}

void DeviceLock::release() {
  if (fd_ < 0) return;
  const int fd = std::exchange(fd_, -1);
  forget_open(fd);
  // Unlocked before closing: a child forked meanwhile may still hold a copy
  // of this descriptor, and the lock would live on in it.
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

void prepare_for_fork(void (*reset_in_child)()) {
  static std::once_flag once;
  std::call_once(once, [&] {
    g_reset_in_child = reset_in_child;
    ::pthread_atfork(nullptr, nullptr, &in_fork_child);
  });
}

}  // namespace zunra
