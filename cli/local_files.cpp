#include "local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "unique_fd.h"

namespace zunra::cli {
namespace {

bool is_regular(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::optional<std::vector<char>> read_regular_file(const char* name, bool& not_regular) {
  not_regular = false;
  // The name is looked at first so that no device is ever opened (opening a
  // terminal or a tape has effects of its own); a pipe or a device swapped in
  // afterwards cannot block the open and is refused by its descriptor.
  struct stat st;
  if (stat(name, &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    not_regular = true;
    return std::nullopt;
  }
  UniqueFd fd(open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  if (!is_regular(fd.get())) {
    not_regular = true;
    return std::nullopt;
  }
  std::vector<char> content;
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd.get(), chunk, sizeof chunk);
    if (got == 0) return content;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    content.insert(content.end(), chunk, chunk + got);
  }
}

bool write_regular_file(const char* name, const char* data, std::size_t size) {
  // Whatever else stands under the name is not opened at all; the open itself
  // neither follows a link nor waits for the reader of a pipe swapped in since.
  struct stat st;
  if (lstat(name, &st) == 0 && !S_ISREG(st.st_mode)) return false;
  UniqueFd fd(
      open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  if (!fd || !is_regular(fd.get())) return false;
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  while (size > 0) {
    const ssize_t put = write(fd.get(), data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  // A power cut right after the run must not leave the technician an empty log.
  return fsync(fd.get()) == 0 && fd.close();
}

}  // namespace zunra::cli
