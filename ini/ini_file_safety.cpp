// The INI files themselves: only regular files are ever read, and writers of
// one file take turns. Replacing a file whole is common/atomic_file's.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "ini_internal.h"
#include "unique_fd.h"

namespace zunra::ini {
namespace {

// How often a writer looks again at the lock another writer holds.
constexpr std::int64_t kLockRetryMs = 5;

}  // namespace

// A FIFO would block the open, a device such as /dev/zero never ends, a
// directory cannot be read: each counts as missing. The name is looked at
// first so that no device is ever opened; the open cannot block, and the
// descriptor is checked again in case the name changed meanwhile.
File open_regular_file(const char* name) {
  struct stat st;
  if (name == nullptr || stat(name, &st) != 0) return File();
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return File();
  }
  UniqueFd fd(off_standard_streams(open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)));
  if (!fd) return File();
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return File();
  }
  FILE* fp = fdopen(fd.get(), "rb");
  if (fp != nullptr) fd.release();
  return File(fp);
}

// flock() belongs to the open file, so threads exclude each other as well as
// processes, and a writer that dies lets go. A file system without locks is
// written unlocked.
bool lock_for_writing(int fd, const Deadline& deadline) {
  return retry_until(deadline, kLockRetryMs, [fd] {
    int locked;
    do locked = flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    return locked == 0 || errno != EWOULDBLOCK;
  });
}

bool still_named(const char* name, const struct stat& held) {
  struct stat named;
  return stat(name, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

}  // namespace zunra::ini
