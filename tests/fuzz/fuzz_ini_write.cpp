// The INI writer: a stored value reads back, a failed or empty request
// leaves the file as it was, no temporary file stays behind.
#include <strings.h>
#include <sys/stat.h>

#include <filesystem>

#include "fuzz_support.h"
#include "ini_file.h"

using namespace zunra::fuzz;

namespace {

bool blank(char c) {
  return c > 0 && c <= ' ';
}

// Names and values the format carries unchanged.
bool plain_names(const std::string& s, const std::string& k) {
  return s.size() <= 100 && s.find_first_of("]\n") == std::string::npos && k.size() <= 100 &&
         k.find_first_of("=\n") == std::string::npos &&
         (k.empty() || !(blank(k.front()) || blank(k.back()) || std::strchr("[;#", k.front())));
}

bool plain_value(const std::string& v) {
  if (v.empty()) return true;
  if (v.size() > 150 || v.find('\n') != std::string::npos) return false;
  if (v.find_first_of("\";#") != std::string::npos || v.back() == ' ')  // stored quoted
    return v.back() != '\\';  // a final backslash would take the closing quote
  return !blank(v.front()) && !blank(v.back());
}

bool section_exists(const std::string& section, const char* file) {
  // An empty name is the end or a "[]" header: every index is looked at.
  char name[512];
  for (int i = 0; i < 64; ++i)
    if (ini_getsection(i, name, sizeof name, file) == static_cast<int>(section.size()) &&
        strncasecmp(name, section.c_str(), section.size()) == 0)
      return true;
  return ini_getsection(64, name, sizeof name, file) > 0;  // too many to tell: assume it exists
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = scratch_path("write.d");
  static const std::string path = (::mkdir(dir.c_str(), 0700), dir + "/write.ini");
  Input in(data, size);
  const int op = in.byte() % 4;
  const std::string section = in.until('\0'), key = in.until('\0'), value = in.until('\0');
  const std::string before = in.rest();
  if (!write_file(path, before)) return 0;
  const char *file = path.c_str(), *sec = section.c_str(), *k = key.c_str();
  char got[512];
  const bool had_key = ini_gets(sec, k, "\x01", got, sizeof got, file) != 1 || got[0] != '\x01';
  const bool plain = plain_names(section, key);
  // The reader never sees a ';' or '#' key, but the writer matches its comment line.
  const bool comment_key = !key.empty() && (key.front() == ';' || key.front() == '#');

  int r = 0;
  bool unchanged = false;  // the call had nothing to do
  if (op == 0) {
    r = ini_puts(sec, k, value.c_str(), file);
    ini_gets(sec, k, "\x01", got, sizeof got, file);
    if (r == 1 && plain && plain_value(value)) FUZZ_CHECK(value == got);
  } else if (op == 1) {
    const long number = std::strtol(value.c_str(), nullptr, 10);  // clamped to the range of long
    r = ini_putl(sec, k, number, file);
    if (r == 1 && plain) FUZZ_CHECK(ini_getl(sec, k, ~number, file) == number);
  } else if (op == 2) {  // delete a key
    unchanged = !had_key && !comment_key;
    r = ini_puts(sec, k, nullptr, file);
  } else {  // delete a section
    unchanged = !section.empty() && !section_exists(section, file);
    r = ini_puts(sec, nullptr, nullptr, file);
  }
  FUZZ_CHECK(r == 0 || r == 1);
  if (r == 0 || unchanged) FUZZ_CHECK(read_file(path) == before);
  FUZZ_CHECK(std::distance(std::filesystem::directory_iterator(dir), {}) == 1);
  return 0;
}
