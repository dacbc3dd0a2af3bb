// The INI readers: in bounds, results agreeing with the buffers, and every
// key listed by index found again by name.
#include <functional>

#include "fuzz_support.h"
#include "ini_file.h"

using namespace zunra::fuzz;

namespace {

// `read` into a buffer of exactly `size` bytes; the count matches the text.
std::string read_into(int size, const std::function<int(char*, int)>& read) {
  std::vector<char> b(static_cast<std::size_t>(size), '\x7f');
  const int n = read(b.data(), size);
  FUZZ_CHECK(n >= 0 && n < size && std::memchr(b.data(), '\0', b.size()));
  FUZZ_CHECK(static_cast<int>(std::strlen(b.data())) == n);
  return b.data();
}

// A small buffer's result is a prefix of a full one's.
std::string read_both(int small, const std::function<int(char*, int)>& read) {
  const std::string full = read_into(512, read);
  FUZZ_CHECK(full.compare(0, static_cast<std::size_t>(small - 1), read_into(small, read)) == 0);
  return full;
}

int browse_one(const char* section, const char* key, const char* value, const void* user) {
  FUZZ_CHECK(std::strlen(section) + std::strlen(key) + std::strlen(value) + 3 <= 512);
  return --*static_cast<int*>(const_cast<void*>(user)) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_path("read.ini");
  Input in(data, size);
  const int small = 1 + in.byte() % 40;
  int stop_after = 1 + in.byte() % 8;
  if (!write_file(path, in.rest())) return 0;
  const char* file = path.c_str();

  int keys_checked = 0;
  for (int s = -1; s < 24; ++s) {
    const std::string section =  // s == -1: the nameless section
        s < 0 ? "" : read_both(small, [&](char* b, int n) { return ini_getsection(s, b, n, file); });
    if (s >= 0 && section.empty()) continue;  // no such section, or "[]"
    for (int k = 0; k < 24 && keys_checked < 200; ++k, ++keys_checked) {
      const std::string key =
          read_into(512, [&](char* b, int n) { return ini_getkey(section.c_str(), k, b, n, file); });
      if (key.empty()) break;
      const auto value = read_both(
          small, [&](char* b, int n) { return ini_gets(section.c_str(), key.c_str(), "\x01", b, n, file); });
      FUZZ_CHECK(value != "\x01");
      (void)ini_getl(section.c_str(), key.c_str(), -7, file);
      (void)ini_getf(section.c_str(), key.c_str(), -7.0f, file);
      (void)ini_getbool(section.c_str(), key.c_str(), -7, file);
    }
  }
  FUZZ_CHECK(ini_browse(browse_one, &stop_after, file) == 1);
  return 0;
}
