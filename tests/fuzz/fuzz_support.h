// Small helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zunra::fuzz {

inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(cond) ::zunra::fuzz::check(static_cast<bool>(cond), #cond)

// A scratch file name private to this process, on a memory file system when
// there is one (a fuzz run writes it hundreds of thousands of times).
inline std::string scratch_path(const char* name) {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/zunra_fuzz_" + std::to_string(::getpid()) + "_" + name;
}

inline bool write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
  f.close();
  return !f.fail();
}

inline std::string read_file(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Takes the input apart front to back.
struct Input {
  std::string data;
  std::size_t at = 0;
  Input(const std::uint8_t* d, std::size_t n) : data(reinterpret_cast<const char*>(d), n) {}
  std::uint8_t byte() { return at < data.size() ? static_cast<std::uint8_t>(data[at++]) : 0; }
  std::string rest() { return data.substr(std::exchange(at, data.size())); }
  // Up to the next `stop` (dropped) or the end; until('\0') is a C text.
  std::string until(char stop) {
    const std::size_t start = at, end = std::min(data.find(stop, at), data.size());
    at = std::min(end + 1, data.size());
    return data.substr(start, end - start);
  }
};

}  // namespace zunra::fuzz
