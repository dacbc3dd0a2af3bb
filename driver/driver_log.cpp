#include "driver_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "settings.h"
#include "settings_table.h"
#include "unique_fd.h"
#include "wait.h"

namespace zunra {
namespace {

// A line waits at most this long in all for another writer holding the
// log, then is written without the lock: the log is closed to other users,
// but a descriptor opened before it was closed keeps working, and a writer
// may be stopped while it holds the lock.
constexpr std::int64_t kLogLockWaitMs = 5;

// errno-like reasons for a log that is there but may not be used.
constexpr int kNotRegular = -1;
constexpr int kOpenToOthers = -2;

// Owns the log's descriptor for one line.
class LogFile {
 public:
  explicit LogFile(int fd) : fd_(fd) {}
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile() {
    if (fd_ < 0) return;
    // Unlocked before closing: a child forked meanwhile keeps a copy of the
    // descriptor, and the writers' lock would live on in it.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool open_to_others(const struct stat& st) {
  return (st.st_mode & S_IRWXO) != 0;
}

// Opens the log for appending: never through a link, only a regular file,
// never waiting (a FIFO in its place). A log this call creates is 0660 and
// belongs to the directory's group whatever the umask and the directory's
// setgid bit: the group's programs append to it, nobody else may read the
// frames it holds (activation code, customers' documents) or open it to
// hold its lock. -1 with `error` set on failure.
int open_log(const std::string& path, int& error) {
  constexpr int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = off_standard_streams(::open(path.c_str(), flags));
  if (fd < 0 && errno == ENOENT) {
    fd = off_standard_streams(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0660));
    if (fd >= 0) {
      struct stat dir;
      if (::stat(path.substr(0, path.rfind('/') + 1).c_str(), &dir) == 0) {
        [[maybe_unused]] const int given = ::fchown(fd, static_cast<uid_t>(-1), dir.st_gid);
      }
      ::fchmod(fd, 0660);
    } else if (errno == EEXIST) {  // another program created it just now
      fd = off_standard_streams(::open(path.c_str(), flags));
    }
  }
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = kNotRegular;
    return -1;
  }
  // A log an earlier version left open to others is closed when this
  // writer owns it; otherwise append() moves it aside.
  if (open_to_others(st)) ::fchmod(fd, st.st_mode & 0770);
  return fd;
}

// The whole line; true when all of it was written.
bool write_line(int fd, iovec* parts, int count) {
  while (count > 0) {
    const ssize_t n = ::writev(fd, parts, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= parts->iov_len) left -= parts->iov_len, ++parts, --count;
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

// Appends one line, under the writers' lock when it comes in time. When
// the log has reached its limit, or is still open to other users, it first
// becomes <log>.1, the one old generation kept, and a fresh log is started;
// another program that was waiting sees the name moved on and opens the
// fresh log too. 0, or -1 with `error` set.
int append(const std::string& path, iovec* parts, int count, int& error) {
  const std::int64_t limit = static_cast<std::int64_t>(setting(log_max_kb)) * 1024;
  const Deadline deadline = Deadline::in_ms(kLogLockWaitMs);
  for (int attempt = 0;; ++attempt) {
    LogFile log(open_log(path, error));
    if (log.fd() < 0) return -1;
    // A file system without locks counts as locked.
    retry_until(deadline, 1,
                [&] { return ::flock(log.fd(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; });
    struct stat held, named;
    if (::fstat(log.fd(), &held) != 0) held.st_size = 0, held.st_mode = 0;
    if (attempt < 3) {
      if (::lstat(path.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev)
        continue;  // rotated meanwhile
      if (held.st_size >= limit || open_to_others(held)) {
        if (::rename(path.c_str(), (path + ".1").c_str()) == 0) continue;
        // No old generation can be kept: a full log starts again in place.
        if (!open_to_others(held)) {
          [[maybe_unused]] const int emptied = ::ftruncate(log.fd(), 0);
        }
      }
    }
    if (open_to_others(held)) {  // not this writer's, and it cannot be moved aside
      error = kOpenToOthers;
      return -1;
    }
    if (write_line(log.fd(), parts, count)) return 0;
    error = errno;
    return -1;
  }
}

// A log that cannot be written is said once per process, on standard
// error: standard output belongs to the console lines.
void say_unwritable(const std::string& path, int error) {
  static std::atomic<pid_t> said_by{0};
  const char* why = error == ELOOP           ? "e um link simbolico"
                    : error == kNotRegular   ? "nao e um arquivo comum"
                    : error == kOpenToOthers ? "aberto a outros usuarios"
                                             : std::strerror(error);
  say_once(said_by, "EnviaLog: Erro ao abrir o arquivo de logs ", (path + ": " + why).c_str());
}

}  // namespace

bool say_once(std::atomic<pid_t>& said_by, const char* message, const char* detail) {
  const pid_t self = ::getpid();
  if (said_by.exchange(self) == self) return false;
  std::fprintf(stderr, "%s%s\n", message, detail);
  std::fflush(stderr);
  return true;
}

std::string driver_log_path() {
  return settings_dir() + "/lib_zunra_dorvex.log";
}

void console(const char* format, ...) {
  if (!console_enabled()) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void debug_log(const char* message, const char* detail) {
  if (setting(ModoDebug)) append_log_line(message, detail);
}

int append_log_line(const char* message, const char* detail) noexcept {
  try {
    const std::string path = driver_log_path();
    const char* stamp = log_timestamp();
    message = message ? message : "";
    detail = detail ? detail : "";
    iovec parts[] = {
        {const_cast<char*>(stamp), std::strlen(stamp)},
        {const_cast<char*>(": "), 2},
        {const_cast<char*>(message), std::strlen(message)},
        {const_cast<char*>(detail), std::strlen(detail)},
        {const_cast<char*>("\n"), 1},
    };
    int error = 0;
    if (append(path, parts, sizeof parts / sizeof parts[0], error) == 0) return 0;
    say_unwritable(path, error);
    console("EnviaLog: Erro ao abrir o arquivo de logs!\n");
    return -1;
  } catch (...) {
    return -1;
  }
}

const char* log_timestamp() {
  static char text[26];
  const std::time_t now = std::time(nullptr);
  std::tm local;
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local) == 0)
    text[0] = '\0';
  return text;
}

}  // namespace zunra
