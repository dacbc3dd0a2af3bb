// Small helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#define FUZZ_CHECK(cond)                                     \
  do {                                                       \
    if (!(cond)) {                                           \
      std::fprintf(stderr, "fuzz finding: %s\n", #cond);     \
      std::abort();                                          \
    }                                                        \
  } while (0)

namespace zunra::fuzz {

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
  std::string until(char stop) {  // up to the next `stop` (dropped) or the end
    const std::size_t end = std::min(data.find(stop, at), data.size());
    std::string text = data.substr(at, end - at);
    at = std::min(end + 1, data.size());
    return text;
  }
  std::string rest() {
    std::string text = data.substr(at);
    at = data.size();
    return text;
  }
};

// The input as a C text: up to its first NUL.
inline std::string c_text(std::string s) { return s.substr(0, s.find('\0')); }

}  // namespace zunra::fuzz
