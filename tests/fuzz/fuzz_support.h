// Small helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zunra::fuzz {

// A scratch file name private to this process, on a memory file system when
// there is one (a fuzz run writes it hundreds of thousands of times).
inline std::string scratch_path(const char* name) {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/zunra_fuzz_" + std::to_string(::getpid()) + "_" + name;
}

inline bool write_file(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

inline std::string read_file(const std::string& path) {
  std::string bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
  std::fclose(f);
  return bytes;
}

// Takes the input apart front to back.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Text up to the next `stop` byte (not included) or the end.
  std::string until(char stop) {
    std::string text;
    while (at_ < size_ && data_[at_] != static_cast<std::uint8_t>(stop))
      text += static_cast<char>(data_[at_++]);
    if (at_ < size_) ++at_;
    return text;
  }
  std::string rest() {
    std::string text(reinterpret_cast<const char*>(data_) + at_, size_ - at_);
    at_ = size_;
    return text;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(cond)                     \
  do {                                       \
    if (!(cond)) ::zunra::fuzz::fail(#cond); \
  } while (0)

}  // namespace zunra::fuzz
