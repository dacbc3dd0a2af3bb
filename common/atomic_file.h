// Replacing a file so that readers, and the file system after a power cut,
// see either the old file or the new one, whole: the new bytes go into a
// temporary file beside it, are pushed to the disk, take the file's name in
// one rename, and the directory is pushed to the disk after them.
//
// An existing file keeps its permission bits, and its owner and group where
// this process may set them. A name that is a link is written through: the
// link stays and its target is replaced in the target's own directory.
// Nothing here allocates, so the INI module can build on it.
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include "unique_fd.h"

namespace zunra {

// Writes `size` bytes of `data` as the whole new content of `path`. A file
// that does not exist yet is created with `mode` (the umask applies). A
// dangling link is not followed and anything but a regular file is left
// alone (false, errno EINVAL). Writers of one file are not made to take
// turns: the last rename wins, each file whole. False on any failure, the
// file then as it was, with one exception: the new file is in place and only
// pushing its directory to the disk failed.
bool write_file_atomically(const char* path, const void* data, std::size_t size, mode_t mode);

// Where a write to `path` goes. `existing`: the file, its links resolved,
// is named in `target` (PATH_MAX bytes). `absent`: nothing is there yet and
// `path` may be created. `not_creatable`: nothing is there, and `path` is
// empty or a dangling link, which is not followed to create its target.
// `failed`: errno says why.
enum class WriteTarget { existing, absent, not_creatable, failed };
WriteTarget find_write_target(const char* path, char* target);

// A temporary file of this process alone, "<target>~<pid>.<n>", beside the
// file it is to replace so that the rename stays within one file system.
// It is created exclusively, so a planted link is never followed and no
// other writer's file is touched. Removed at scope exit unless it has been
// put in place.
class TempFile {
 public:
  // `mode` is the creation mode (the umask applies). Check with ok(); errno
  // says why not.
  TempFile(const char* target, mode_t mode);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return static_cast<bool>(fd_); }

  // Gives the file the permission bits of `old`, and its owner and group
  // where this process may set them. When the group cannot be kept its bits
  // are dropped, so that no other group gains access.
  void keep_owner_and_mode(const struct stat& old);

  // Appends all of `data`; a failure is remembered and makes finish() fail.
  void write(const void* data, std::size_t size);
  void write(const char* text);

  // Pushes the bytes to the disk and closes the file; false when that or an
  // earlier write failed. Needed before either way of putting it in place.
  bool finish();

  // Renames the file over `target`, then pushes the directory to the disk.
  bool replace(const char* target);

  // Puts the file in place only while `target` does not exist, so that a
  // file another writer created meanwhile is never replaced.
  enum class Placed { done, name_taken, failed };
  Placed place_if_absent(const char* target);

 private:
  void forget();  // removes the file by its name, if it still has it

  UniqueFd fd_;
  bool failed_ = false;
  char path_[PATH_MAX];  // empty once the file has been put in place or removed
};

// Pushes the directory that holds `path` to the disk, so that a rename in it
// survives a power cut. A file system with nothing to push counts as done.
bool sync_parent_directory(const char* path);

}  // namespace zunra
