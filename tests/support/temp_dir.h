// A directory under /tmp, removed with everything in it at scope exit.
// Shared by the tests and the benchmarks; needs nothing but the standard
// library.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace zunra::test {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zunra_test") {
    std::string pattern = "/tmp/" + prefix + "_XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zunra::test
