#include "device_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "counters.h"
#include "settings.h"
#include "unique_fd.h"

namespace zunra {

const char* lock_dir = "/run/zunra_sat";

namespace {

// Longest sleep of a waiter between two looks at the lock. The kernel
// reports the close of a killed holder's file just before it drops the
// lock, so a waiter woken then can find it still held; this bounds the cost.
constexpr std::int64_t kRecheckMs = 50;

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

// Unlocked before closing: a child forked meanwhile may still hold a copy of
// the descriptor, and the lock would live on in it.
void close_lock_file(int fd) {
  forget_open(fd);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

// One lock file open for an acquire; closed (and unlocked) at scope exit
// unless released to the DeviceLock.
class LockFile {
 public:
  explicit LockFile(int fd) : fd_(fd) {
    if (fd_ >= 0) remember_open(fd_);
  }
  ~LockFile() { close(); }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void close() {
    if (fd_ >= 0) close_lock_file(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

std::string why(int error) {
  return std::strerror(error);
}

// The directory of the lock files, open for the lookups in it.
struct LockDir {
  UniqueFd fd;
  std::string path;
  struct stat status;
};

// Nobody but its owner, root or the device's own owner, and its group can
// make, remove or rename files in it.
bool closed_to_others(const struct stat& dir, const struct stat& device) {
  return S_ISDIR(dir.st_mode) && (dir.st_uid == 0 || dir.st_uid == device.st_uid) && !(dir.st_mode & S_IWOTH);
}

// The first candidate directory that exists and is closed to others. What
// decides is the directories themselves, never the caller's rights: a
// caller that cannot use the chosen one fails rather than lock elsewhere.
bool find_lock_dir(const struct stat& device, LockDir& found, std::string& problem) {
  const std::string candidates[] = {lock_dir, settings_dir()};
  for (const std::string& path : candidates) {
    UniqueFd fd(off_standard_streams(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
    if (!fd && (errno == ENOENT || errno == ENOTDIR)) continue;
    if (!fd || ::fstat(fd.get(), &found.status) != 0) {
      problem = path + ": " + why(errno);
      return false;
    }
    if (!closed_to_others(found.status, device)) continue;
    found.fd = std::move(fd);
    found.path = path;
    return true;
  }
  problem = candidates[0] + ", " + candidates[1] + ": nenhum diretorio fechado a outros usuarios";
  return false;
}

// Makes lock file `name` with what every user of the lock needs (the
// directory's group, 0660 whatever the umask) under a private name, then
// links it into place, so that nobody ever opens it half made. 0, or the
// errno; EEXIST when another process made it meanwhile.
int make_lock_file(const LockDir& dir, const std::string& name) {
  static std::atomic<unsigned> made{0};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%d.%u", static_cast<int>(::getpid()), made++);
  const std::string draft = name + suffix;
  const int at = dir.fd.get();
  ::unlinkat(at, draft.c_str(), 0);  // left by a killed process that had this PID
  UniqueFd fd(off_standard_streams(
      ::openat(at, draft.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)));
  if (!fd) return errno;
  struct stat status;
  int error = 0;
  if (::fstat(fd.get(), &status) != 0 ||
      (status.st_gid != dir.status.st_gid &&
       ::fchown(fd.get(), static_cast<uid_t>(-1), dir.status.st_gid) != 0) ||
      ::fchmod(fd.get(), 0660) != 0 || ::linkat(at, draft.c_str(), at, name.c_str(), 0) != 0)
    error = errno;
  ::unlinkat(at, draft.c_str(), 0);
  return error;
}

// A lock file every user of the lock can open and nobody else can: a plain
// file of the directory's group, readable by it, closed to others.
bool usable(const struct stat& file, const LockDir& dir) {
  return S_ISREG(file.st_mode) && file.st_gid == dir.status.st_gid && (file.st_mode & S_IRGRP) &&
         !(file.st_mode & S_IRWXO);
}

constexpr int kLockFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Opens lock file `name`, making it when missing. It is only ever opened
// for reading and never written; a planted link is not followed, a FIFO
// does not block the open. -1 with `problem` set when it cannot be used.
int open_lock_file(const LockDir& dir, const std::string& name, std::string& problem) {
  int error = ENOENT;
  for (int round = 0; round < 3; ++round) {
    UniqueFd fd(off_standard_streams(::openat(dir.fd.get(), name.c_str(), kLockFileFlags)));
    error = errno;
    if (!fd && error == ENOENT) {
      error = make_lock_file(dir, name);
      if (error == 0 || error == EEXIST) continue;  // now open it as anyone would
    }
    if (!fd) break;
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) {
      error = errno;
      break;
    }
    if (usable(status, dir)) return fd.release();
    char group[16];
    std::snprintf(group, sizeof group, "%u", static_cast<unsigned>(dir.status.st_gid));
    problem =
        dir.path + "/" + name + ": nao e um arquivo comum do grupo " + group + " fechado a outros usuarios";
    return -1;
  }
  problem = dir.path + "/" + name + ": " + why(error);
  return -1;
}

// Sleeps a waiter until one of the lock files is closed by someone (a
// holder let go or died), or kRecheckMs, never past the deadline. The watch
// is set up at the first wait, which then returns at once: a release after
// the caller's last try is never missed.
class CloseWatch {
 public:
  explicit CloseWatch(std::string first, std::string second) : paths_{std::move(first), std::move(second)} {}

  bool waited() const { return armed_; }

  void wait(const Deadline& deadline) {
    if (!armed_) {
      armed_ = true;
      fd_.reset(off_standard_streams(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)));
      for (const std::string& path : paths_)
        if (fd_ && ::inotify_add_watch(fd_.get(), path.c_str(), IN_CLOSE | IN_DONT_FOLLOW) < 0) fd_.reset();
      if (fd_) return;
    }
    const Deadline next = deadline.capped_ms(kRecheckMs);
    if (!fd_) return sleep_until(next);
    if (wait_for(fd_.get(), POLLIN, next) == Readiness::hangup) return fd_.reset();
    alignas(inotify_event) char events[4096];
    while (::read(fd_.get(), events, sizeof events) > 0) {
    }
  }

 private:
  std::string paths_[2];
  bool armed_ = false;
  UniqueFd fd_;
};

enum class Take { taken, busy, failed };

// Takes the flock of `fd`, waiting for another holder until the deadline.
Take take(int fd, CloseWatch& watch, const Deadline& deadline, int& error) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Take::taken;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      error = errno;
      return Take::failed;
    }
    if (deadline.passed()) return Take::busy;
    watch.wait(deadline);
  }
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
  LockDir dir;
  std::string problem;
  const std::string name = lock_file_name(device.st_rdev);
  if (find_lock_dir(device, dir, problem)) {
    file = dir.path + "/" + name;
    UniqueFd fd(off_standard_streams(::openat(dir.fd.get(), name.c_str(), kLockFileFlags)));
    struct stat status;
    if (fd && ::fstat(fd.get(), &status) == 0 && usable(status, dir)) return flock_holder(fd.get());
  }
  file.clear();
  return -1;
}

DeviceLock::Outcome DeviceLock::acquire(const struct stat& device, const Deadline& deadline) {
  if (held() && device_ == device.st_rdev) return Outcome::held;
  release();
  holder_ = 0;
  problem_.clear();
  LockDir dir;
  if (!find_lock_dir(device, dir, problem_)) return Outcome::no_lock_file;
  const std::string unit_name = lock_file_name(device.st_rdev);
  const std::string queue_name = unit_name.substr(0, unit_name.size() - 4) + "queue";
  LockFile unit(open_lock_file(dir, unit_name, problem_));
  if (unit.get() < 0) return Outcome::no_lock_file;
  LockFile queue(open_lock_file(dir, queue_name, problem_));
  if (queue.get() < 0) return Outcome::no_lock_file;
  // The queue first: while this caller waits for the unit, its holder's
  // next call waits behind it.
  CloseWatch watch(dir.path + "/" + queue_name, dir.path + "/" + unit_name);
  int error = 0;
  const auto start = std::chrono::steady_clock::now();
  Take got = take(queue.get(), watch, deadline, error);
  if (got == Take::taken) got = take(unit.get(), watch, deadline, error);
  if (watch.waited())
    counters::lock_waited(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count());
  switch (got) {
    case Take::taken:
      queue.close();
      fd_ = unit.release();
      device_ = device.st_rdev;
      return Outcome::held;
    case Take::busy:
      holder_ = flock_holder(unit.get());
      return Outcome::busy;
    case Take::failed:
      break;
  }
  problem_ = dir.path + "/" + unit_name + ": " + why(error);
  return Outcome::no_lock_file;
}

void DeviceLock::release() {
  if (fd_ >= 0) close_lock_file(std::exchange(fd_, -1));
}

void prepare_for_fork(void (*reset_in_child)()) {
  static std::once_flag once;
  std::call_once(once, [&] {
    g_reset_in_child = reset_in_child;
    ::pthread_atfork(nullptr, nullptr, &in_fork_child);
  });
}

}  // namespace zunra
