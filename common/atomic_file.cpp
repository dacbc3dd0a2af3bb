#include "atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zunra {

TempFile::TempFile(const char* target, mode_t mode) {
  static std::atomic<unsigned> serial{0};
  path_[0] = '\0';
  for (int tries = 0; tries < 100; tries++) {
    const int n =
        std::snprintf(path_, sizeof path_, "%s~%ld.%u", target, static_cast<long>(::getpid()), serial++);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path_) {
      errno = ENAMETOOLONG;
      break;
    }
    fd_.reset(off_standard_streams(::open(path_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode)));
    if (fd_) return;
    if (errno != EEXIST) break;  // EEXIST: left by a writer that died
  }
  path_[0] = '\0';
}

TempFile::~TempFile() {
  forget();
}

void TempFile::forget() {
  if (path_[0] != '\0') ::unlink(path_);
  path_[0] = '\0';
}

void TempFile::keep_owner_and_mode(const struct stat& old) {
  mode_t mode = old.st_mode & 0777;
  if (::fchown(fd_.get(), old.st_uid, old.st_gid) != 0 &&
      ::fchown(fd_.get(), static_cast<uid_t>(-1), old.st_gid) != 0) {
    mode &= ~static_cast<mode_t>(070);
  }
  ::fchmod(fd_.get(), mode);
}

void TempFile::write(const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0 && !failed_) {
    const ssize_t n = ::write(fd_.get(), next, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    next += n;
    size -= static_cast<std::size_t>(n);
  }
}

void TempFile::write(const char* text) {
  write(text, std::strlen(text));
}

bool TempFile::finish() {
  if (!fd_) return false;
  const bool synced = !failed_ && ::fsync(fd_.get()) == 0;
  return fd_.close() && synced;
}

bool TempFile::replace(const char* target) {
  if (fd_ || path_[0] == '\0' || ::rename(path_, target) != 0) return false;
  path_[0] = '\0';
  return sync_parent_directory(target);
}

TempFile::Placed TempFile::place_if_absent(const char* target) {
  if (fd_ || path_[0] == '\0') return Placed::failed;
  bool placed = ::renameat2(AT_FDCWD, path_, AT_FDCWD, target, RENAME_NOREPLACE) == 0;
  if (placed) {
    path_[0] = '\0';
  } else if (errno == EINVAL || errno == ENOSYS) {
    // A file system without the no-replace rename: a hard link fails the
    // same way on a name that exists, and the temporary name then goes.
    placed = ::link(path_, target) == 0;
    const int error = errno;
    forget();
    errno = error;
  }
  if (!placed) return errno == EEXIST ? Placed::name_taken : Placed::failed;
  return sync_parent_directory(target) ? Placed::done : Placed::failed;
}

bool sync_parent_directory(const char* path) {
  char dir[PATH_MAX];
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else {
    // "/name" lives in "/".
    const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= sizeof dir) return false;
    std::memcpy(dir, path, length);
    dir[length] = '\0';
  }
  UniqueFd fd(off_standard_streams(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (!fd) return false;
  return ::fsync(fd.get()) == 0 || errno == EINVAL;  // EINVAL: nothing to push on this file system
}

WriteTarget find_write_target(const char* path, char* target) {
  if (::realpath(path, target) != nullptr) return WriteTarget::existing;
  if (errno != ENOENT) return WriteTarget::failed;
  struct stat st;
  if (*path == '\0' || ::lstat(path, &st) == 0 || errno != ENOENT) return WriteTarget::not_creatable;
  return WriteTarget::absent;
}

bool write_file_atomically(const char* path, const void* data, std::size_t size, mode_t mode) {
  char target[PATH_MAX];
  const WriteTarget found = find_write_target(path, target);
  struct stat old;
  if (found == WriteTarget::existing && (::stat(target, &old) != 0 || !S_ISREG(old.st_mode))) {
    errno = EINVAL;
    return false;
  }
  if (found != WriteTarget::existing && found != WriteTarget::absent) {
    if (found == WriteTarget::not_creatable) errno = EINVAL;
    return false;
  }
  const char* name = found == WriteTarget::existing ? target : path;
  TempFile temp(name, mode);
  if (!temp.ok()) return false;
  if (found == WriteTarget::existing) temp.keep_owner_and_mode(old);
  temp.write(data, size);
  return temp.finish() && temp.replace(name);
}

}  // namespace zunra
