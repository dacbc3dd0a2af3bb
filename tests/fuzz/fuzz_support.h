// Helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace zunra::fuzz {

#define FUZZ_CHECK(cond) ((cond) ? void() : (std::fprintf(stderr, "fuzz finding: %s\n", #cond), std::abort()))

// A per-process scratch file, in memory when possible (written per input).
inline std::string scratch_path(const char* name) {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/zunra_fuzz_" + std::to_string(::getpid()) + "_" + name;
}

inline bool write_file(const std::string& path, const std::string& bytes) {
  return !(std::ofstream(path, std::ios::binary) << bytes).fail();
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The input taken apart front to back.
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
