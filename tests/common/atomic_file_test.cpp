// Whole-file replacement as the journal and the counters use it; the INI
// writer's own cases (crash at the rename, concurrent writers) are in tests/ini.
#include "atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string text_of(const std::string& path) {
  return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
}

bool write(const std::string& path, const std::string& text, mode_t mode = 0644) {
  return zunra::write_file_atomically(path.c_str(), text.data(), text.size(), mode);
}

TEST(AtomicFile, ReplacesWholeKeepingModeOwnerAndLinksAndLeavesNoTemporary) {
  zunra::test::TempDir tmp("atomic_file");
  const std::string dir = tmp.path(), file = dir + "/data/counters.prom";
  fs::create_directory(dir + "/data");
  const mode_t old_umask = umask(077);
  EXPECT_TRUE(write(file, "first\n", 0644));
  umask(old_umask);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new file's mode less the umask";

  // An existing file keeps its bits and owner; a link stays a link.
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(chown(file.c_str(), geteuid() == 0 ? 65534 : getuid(), getgid()), 0);
  fs::create_symlink("data/counters.prom", dir + "/link.prom");
  EXPECT_TRUE(write(dir + "/link.prom", std::string(100000, 'x') + "\n", 0666));
  EXPECT_EQ(text_of(file), std::string(100000, 'x') + "\n");
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(std::tuple(st.st_mode & 0777, st.st_uid), std::tuple(0640u, geteuid() == 0 ? 65534u : getuid()));
  EXPECT_TRUE(fs::is_symlink(dir + "/link.prom"));

  // Refused, and nothing made: a dangling link, a directory, a missing directory.
  fs::create_symlink("data/missing.prom", dir + "/dangling.prom");
  for (const std::string& path : {dir + "/dangling.prom", dir + "/data", dir + "/none/x.prom"})
    EXPECT_FALSE(write(path, "y")) << path;
  EXPECT_FALSE(fs::exists(dir + "/data/missing.prom"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/data"), {}), 1) << "no temporary file stays";
}

}  // namespace
