// The INI writer over any file: a value it stored reads back equal, a call
// that returned 0 left the file as it was, a request with nothing to do
// leaves the content as it was, and no temporary file stays behind.
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "minIni.h"

using namespace zunra::fuzz;

namespace {

bool blank(char c) {
  return c > 0 && c <= ' ';
}

// Names and values the file format can carry unchanged (the rest is cut,
// trimmed or split by the format itself, which is not a fault).
bool representable_key(const std::string& k) {
  if (k.size() > 100 || k.find_first_of("=\n") != std::string::npos) return false;
  if (!k.empty() && (blank(k.front()) || blank(k.back()) || std::strchr("[;#", k.front()))) return false;
  return true;
}

bool representable_section(const std::string& s) {
  return s.size() <= 100 && s.find_first_of("]\n") == std::string::npos;
}

bool representable_value(const std::string& v) {
  if (v.size() > 150 || v.find('\n') != std::string::npos) return false;
  const bool quoted = v.find_first_of("\";#") != std::string::npos || (!v.empty() && v.back() == ' ');
  if (quoted) return v.empty() || v.back() != '\\';  // a final backslash would take the closing quote
  return v.empty() || (!blank(v.front()) && !blank(v.back()));
}

bool section_exists(const std::string& section, const char* file) {
  // An empty result is either the end of the list or a "[]" header, so
  // every index is looked at.
  char name[512];
  for (int i = 0; i < 64; ++i) {
    const int n = ini_getsection(i, name, sizeof name, file);
    if (section.size() == static_cast<std::size_t>(n) &&
        strncasecmp(name, section.c_str(), section.size()) == 0)
      return true;
  }
  return ini_getsection(64, name, sizeof name, file) > 0;  // too many to tell: assume it exists
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch_path("write.ini");
  static const std::string temp = path.substr(0, path.size() - 1) + "~";
  Input in(data, size);
  const int op = in.byte() % 4;
  const std::string section = in.until('\0');
  const std::string key = in.until('\0');
  const std::string value = in.until('\0');
  const std::string before = in.rest();
  if (!write_file(path, before)) return 0;
  const char* file = path.c_str();
  const char* sec = section.c_str();

  char found[512];
  const bool had_key =
      ini_gets(sec, key.c_str(), "\x01", found, sizeof found, file) != 1 || found[0] != '\x01';

  int r = 0;
  switch (op) {
    case 0:
      r = ini_puts(sec, key.c_str(), value.c_str(), file);
      if (r == 1 && representable_section(section) && representable_key(key) && representable_value(value)) {
        char back[512];
        ini_gets(sec, key.c_str(), "\x01", back, sizeof back, file);
        FUZZ_CHECK(value == back);
      }
      break;
    case 1: {
      const long number = std::strtol(value.c_str(), nullptr, 10);  // clamped to the range of long
      r = ini_putl(sec, key.c_str(), number, file);
      if (r == 1 && representable_section(section) && representable_key(key))
        FUZZ_CHECK(ini_getl(sec, key.c_str(), ~number, file) == number);
      break;
    }
    case 2:  // delete a key
      r = ini_puts(sec, key.c_str(), nullptr, file);
      if (r == 1 && !had_key) FUZZ_CHECK(read_file(path) == before);
      break;
    case 3: {  // delete a section
      const bool existed = section.empty() || section_exists(section, file);
      r = ini_puts(sec, nullptr, nullptr, file);
      if (r == 1 && !existed) FUZZ_CHECK(read_file(path) == before);
      break;
    }
  }
  FUZZ_CHECK(r == 0 || r == 1);
  if (r == 0) FUZZ_CHECK(read_file(path) == before);
  FUZZ_CHECK(::access(temp.c_str(), F_OK) != 0);
  return 0;
}
