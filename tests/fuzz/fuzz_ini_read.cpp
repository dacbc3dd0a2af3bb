// The INI readers over any file: no read or write out of bounds, results
// that agree with the buffers, and every key the index lookup lists is found
// again by name.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "minIni.h"

using namespace zunra::fuzz;

namespace {

// A caller's buffer of exactly `size` bytes on the heap, so that any write
// past it is caught.
struct Buffer {
  explicit Buffer(int size) : bytes(static_cast<std::size_t>(size), '\x7f') {}
  std::vector<char> bytes;
  char* data() { return bytes.data(); }
  int size() const { return static_cast<int>(bytes.size()); }
};

void check_result(int n, Buffer& b) {
  FUZZ_CHECK(n >= 0 && n < b.size());
  FUZZ_CHECK(std::memchr(b.data(), '\0', b.bytes.size()) != nullptr);
  FUZZ_CHECK(static_cast<int>(std::strlen(b.data())) == n);
}

int browse_one(const char* section, const char* key, const char* value, const void* user) {
  // The three texts share one 512-byte buffer.
  FUZZ_CHECK(std::strlen(section) + std::strlen(key) + std::strlen(value) + 3 <= 512);
  int* left = static_cast<int*>(const_cast<void*>(user));
  return --*left > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_path("read.ini");
  Input in(data, size);
  const int small = 1 + in.byte() % 40;  // a caller's small buffer
  const int stop_after = 1 + in.byte() % 8;
  if (!write_file(path, in.rest())) return 0;
  const char* file = path.c_str();

  int keys_checked = 0;
  for (int s = -1; s < 24; ++s) {
    std::string section;  // s == -1: the nameless section
    if (s >= 0) {
      Buffer name(512);
      const int n = ini_getsection(s, name.data(), name.size(), file);
      check_result(n, name);
      Buffer cut(small);
      check_result(ini_getsection(s, cut.data(), cut.size(), file), cut);
      FUZZ_CHECK(std::strncmp(cut.data(), name.data(), static_cast<std::size_t>(small - 1)) == 0);
      if (n == 0) continue;  // no such section, or "[]"
      section = name.data();
    }
    for (int k = 0; k < 24 && keys_checked < 200; ++k) {
      Buffer key(512);
      const int n = ini_getkey(section.c_str(), k, key.data(), key.size(), file);
      check_result(n, key);
      if (n == 0) break;
      ++keys_checked;
      // The key exists, so the default never comes back.
      Buffer value(512);
      const int v = ini_gets(section.c_str(), key.data(), "\x01", value.data(), value.size(), file);
      check_result(v, value);
      FUZZ_CHECK(std::strcmp(value.data(), "\x01") != 0);
      Buffer cut(small);
      check_result(ini_gets(section.c_str(), key.data(), "\x01", cut.data(), cut.size(), file), cut);
      FUZZ_CHECK(std::strncmp(cut.data(), value.data(), static_cast<std::size_t>(small - 1)) == 0);
      (void)ini_getl(section.c_str(), key.data(), -7, file);
      (void)ini_getf(section.c_str(), key.data(), -7.0f, file);
      (void)ini_getbool(section.c_str(), key.data(), -7, file);
    }
  }
  int left = stop_after;
  FUZZ_CHECK(ini_browse(browse_one, &left, file) == 1);
  return 0;
}
