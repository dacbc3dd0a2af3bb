// Reading an INI file and finding names and values in it: stateless, every
// call opens the file, reads it through fixed 512-byte line buffers without
// heap memory and closes it again. The same sources are built into the
// library (which exports the public functions) and into sat_cli.
#include <cassert>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ini_file.h"
#include "ini_internal.h"
#include "no_cancel.h"

namespace zunra::ini {
namespace {

// Windows editors start a UTF-8 file with a byte-order mark; it belongs to
// no line. Returns whether the file had one (the stream is then behind it).
bool skip_byte_order_mark(FILE* fp) {
  static const int bom[] = {0xEF, 0xBB, 0xBF};
  for (int byte : bom) {
    if (getc_unlocked(fp) != byte) {
      rewind(fp);
      return false;
    }
  }
  return true;
}

// Every byte from 0x01 to 0x20 is white space; bytes from 0x80 up are text.
bool is_blank(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0 && u <= ' ';
}

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char* strip_trailing_blanks(char* text) {
  char* end = back_over_blanks(text + strlen(text), text);
  *end = '\0';
  return text;
}

// Cuts a value at its comment and trailing white space and takes off the
// quotes that enclose the whole of it. Returns the start of the value and
// the copy mode that undoes the escapes of a quoted value.
char* clean_value(char* string, Quotes* quotes) {
  assert(string != nullptr && quotes != nullptr);
  bool in_quotes = false;
  char* ep = string;
  for (; *ep != '\0' && (in_quotes || (*ep != ';' && *ep != '#')); ep++) {
    if (*ep == '"') {
      if (ep[1] == '"')
        ep++;  // "" stands for one quote
      else
        in_quotes = !in_quotes;
    } else if (*ep == '\\' && ep[1] == '"') {
      ep++;
    }
  }
  *ep = '\0';
  strip_trailing_blanks(string);
  *quotes = Quotes::none;
  const size_t length = strlen(string);
  if (length > 0 && string[0] == '"' && string[length - 1] == '"') {
    string[length - 1] = '\0';  // a lone quote is both ends and leaves ""
    string++;
    *quotes = Quotes::dequote;
  }
  return string;
}

// The C locale needs no memory of its own: glibc hands out its built-in one.
locale_t c_locale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

}  // namespace

CLocaleNumbers::CLocaleNumbers() : previous_(c_locale() ? uselocale(c_locale()) : static_cast<locale_t>(0)) {}

CLocaleNumbers::~CLocaleNumbers() {
  if (previous_) uselocale(previous_);
}

File open_for_reading(const char* name) {
  File fp = open_regular_file(name);
  if (fp) skip_byte_order_mark(fp.get());
  return fp;
}

// Names match with equal length and equal letters ignoring ASCII case, the
// same whatever locale the calling program has set.
bool names_equal(const char* name, size_t length, const char* wanted) {
  if (strlen(wanted) != length) return false;
  for (size_t i = 0; i < length; i++) {
    if (ascii_upper(name[i]) != ascii_upper(wanted[i])) return false;
  }
  return true;
}

// The writer copies by the count read_line() returns, so a stray NUL byte
// inside a line cannot make it lose the rest of the line.
int read_line(char* buffer, int size, FILE* fp) {
  assert(buffer != nullptr && fp != nullptr && size >= 2);
  int n = 0;
  while (n < size - 1) {
    const int c = getc_unlocked(fp);
    if (c == EOF) break;
    buffer[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[n] = '\0';
  return n;
}

char* skip_blanks(const char* str) {
  assert(str != nullptr);
  while (is_blank(*str)) str++;
  return const_cast<char*>(str);
}

char* back_over_blanks(const char* str, const char* base) {
  assert(str != nullptr && base != nullptr && str >= base);
  while (str > base && is_blank(str[-1])) str--;
  return const_cast<char*>(str);
}

// Copies inside one buffer only ever move text towards the buffer's start,
// which a forward copy allows.
char* copy_bounded(char* dest, const char* source, size_t size, Quotes option) {
  assert(dest != nullptr && source != nullptr && size >= 1);
  assert(dest <= source || dest >= source + size);
  if (option == Quotes::enquote && size < 3) option = Quotes::none;  // no room for the quotes
  size_t d = 0;
  switch (option) {
    case Quotes::none:
      for (size_t s = 0; source[s] != '\0' && d < size - 1; s++) dest[d++] = source[s];
      break;
    case Quotes::enquote:
      dest[d++] = '"';
      for (size_t s = 0; source[s] != '\0' && d < size - 2; s++) {
        if (source[s] == '"') {
          if (d >= size - 3) break;  // the escaped quote needs two bytes
          dest[d++] = '\\';
        }
        dest[d++] = source[s];
      }
      dest[d++] = '"';
      break;
    case Quotes::dequote:
      for (size_t s = 0; source[s] != '\0' && d < size - 1; s++) {
        if ((source[s] == '"' || source[s] == '\\') && source[s + 1] == '"') s++;
        dest[d++] = source[s];
      }
      break;
    default:
      assert(false && "unknown copy mode");
  }
  dest[d] = '\0';
  return dest;
}

// The separator of a key line is its first '=', or its first ':' when it has
// no '=' at all. Returns null for a line without either.
char* find_separator(char* line) {
  char* sep = strchr(line, '=');
  return sep != nullptr ? sep : strchr(line, ':');
}

// A header is a line starting with '[' that holds a ']'; returns that ']'.
char* header_end(char* sp) {
  return *sp == '[' ? strchr(sp, ']') : nullptr;
}

// Finds a section by name (Section non-empty) or by index (idxSection >= 0),
// then a key in it by name (Key) or by index (idxKey >= 0). An index of -1
// means "not by index". Entries with empty names count like any other.
int find_entry(FILE* fp, const char* Section, const char* Key, int idxSection, int idxKey, char* Buffer,
               int BufferSize) {
  assert(fp != nullptr && Buffer != nullptr && BufferSize > 0);
  const bool section_by_name = Section != nullptr && *Section != '\0';
  assert(!(section_by_name && idxSection >= 0));
  assert(idxSection >= 0 || Key != nullptr || idxKey >= 0);
  char line_buffer[kLineSize];
  char* sp;
  char* ep;

  if (section_by_name || idxSection >= 0) {
    int idx = -1;
    for (;;) {
      if (read_line(line_buffer, kLineSize, fp) == 0) return 0;
      sp = skip_blanks(line_buffer);
      ep = header_end(sp);
      if (ep == nullptr) continue;
      const bool found = section_by_name ? names_equal(sp + 1, static_cast<size_t>(ep - sp - 1), Section)
                                         : ++idx == idxSection;
      if (found) break;
    }
    if (idxSection >= 0) {
      *ep = '\0';
      copy_bounded(Buffer, sp + 1, static_cast<size_t>(BufferSize), Quotes::none);
      return 1;
    }
  }

  int idx = -1;
  for (;;) {
    if (read_line(line_buffer, kLineSize, fp) == 0) return 0;
    sp = skip_blanks(line_buffer);
    if (*sp == '[') return 0;  // the next section starts, with or without its ']'
    if (*sp == ';' || *sp == '#') continue;
    ep = find_separator(sp);
    if (ep == nullptr) continue;
    char* name_end = back_over_blanks(ep, sp);
    const bool found =
        Key != nullptr ? names_equal(sp, static_cast<size_t>(name_end - sp), Key) : ++idx == idxKey;
    if (!found) continue;
    if (idxKey >= 0) {
      *name_end = '\0';
      copy_bounded(Buffer, sp, static_cast<size_t>(BufferSize), Quotes::none);
    } else {
      Quotes quotes;
      char* value = clean_value(skip_blanks(ep + 1), &quotes);
      copy_bounded(Buffer, value, static_cast<size_t>(BufferSize), quotes);
    }
    return 1;
  }
}

}  // namespace zunra::ini

using namespace zunra::ini;

extern "C" {

int ini_gets(const char* Section, const char* Key, const char* DefValue, char* Buffer, int BufferSize,
             const char* Filename) {
  const zunra::NoCancel no_cancel;
  if (Buffer == nullptr || BufferSize <= 0 || Key == nullptr) return 0;
  File fp = open_for_reading(Filename);
  if (!fp || !find_entry(fp.get(), Section, Key, -1, -1, Buffer, BufferSize)) {
    copy_bounded(Buffer, DefValue != nullptr ? DefValue : "", static_cast<size_t>(BufferSize), Quotes::none);
  }
  return static_cast<int>(strlen(Buffer));
}

long ini_getl(const char* Section, const char* Key, long DefValue, const char* Filename) {
  const zunra::NoCancel no_cancel;
  char buffer[64];
  const int length = ini_gets(Section, Key, "", buffer, sizeof buffer, Filename);
  if (length == 0) return DefValue;
  const int base = (length >= 2 && ascii_upper(buffer[1]) == 'X') ? 16 : 10;
  return strtol(buffer, nullptr, base);
}

float ini_getf(const char* Section, const char* Key, float DefValue, const char* Filename) {
  const zunra::NoCancel no_cancel;
  char buffer[64];
  if (ini_gets(Section, Key, "", buffer, sizeof buffer, Filename) == 0) return DefValue;
  double value;
  {
    CLocaleNumbers numbers;
    value = strtod(buffer, nullptr);
  }
  // Narrowing a double beyond the float range is undefined; saturate instead.
  if (value > FLT_MAX) return HUGE_VALF;
  if (value < -FLT_MAX) return -HUGE_VALF;
  return static_cast<float>(value);
}

int ini_getbool(const char* Section, const char* Key, int DefValue, const char* Filename) {
  const zunra::NoCancel no_cancel;
  char buffer[2] = "";
  ini_gets(Section, Key, "", buffer, sizeof buffer, Filename);
  switch (ascii_upper(buffer[0])) {
    case 'Y':
    case '1':
    case 'T':
      return 1;
    case 'N':
    case '0':
    case 'F':
      return 0;
    default:
      return DefValue;
  }
}

int ini_getsection(int idxSection, char* Buffer, int BufferSize, const char* Filename) {
  const zunra::NoCancel no_cancel;
  if (Buffer == nullptr || BufferSize <= 0 || idxSection < 0) return 0;
  File fp = open_for_reading(Filename);
  if (!fp || !find_entry(fp.get(), nullptr, nullptr, idxSection, -1, Buffer, BufferSize)) *Buffer = '\0';
  return static_cast<int>(strlen(Buffer));
}

int ini_getkey(const char* Section, int idxKey, char* Buffer, int BufferSize, const char* Filename) {
  const zunra::NoCancel no_cancel;
  if (Buffer == nullptr || BufferSize <= 0 || idxKey < 0) return 0;
  File fp = open_for_reading(Filename);
  if (!fp || !find_entry(fp.get(), Section, nullptr, -1, idxKey, Buffer, BufferSize)) *Buffer = '\0';
  return static_cast<int>(strlen(Buffer));
}

int ini_browse(INI_CALLBACK Callback, const void* UserData, const char* Filename) {
  const zunra::NoCancel no_cancel;
  if (Callback == nullptr) return 0;
  File fp = open_for_reading(Filename);
  if (!fp) return 0;
  // One buffer holds the section name, the key and the value, one after the
  // other; lines are read into the room behind the section name.
  char line_buffer[kLineSize];
  line_buffer[0] = '\0';
  for (;;) {
    char* line = line_buffer + strlen(line_buffer) + 1;
    const int room = kLineSize - static_cast<int>(line - line_buffer);
    if (read_line(line, room, fp.get()) == 0) break;
    char* sp = skip_blanks(line);
    if (*sp == '\0' || *sp == ';' || *sp == '#') continue;
    if (char* ep = header_end(sp)) {
      *ep = '\0';
      copy_bounded(line_buffer, sp + 1, kLineSize, Quotes::none);
      continue;
    }
    char* ep = find_separator(sp);
    if (ep == nullptr) continue;
    *ep = '\0';
    strip_trailing_blanks(sp);
    char* key = line;
    copy_bounded(key, sp, static_cast<size_t>(room), Quotes::none);
    char* value = key + strlen(key) + 1;
    Quotes quotes;
    char* cleaned = clean_value(skip_blanks(ep + 1), &quotes);
    copy_bounded(value, cleaned, static_cast<size_t>(kLineSize - (value - line_buffer)), quotes);
    if (!Callback(line_buffer, key, value, UserData)) break;
  }
  return 1;
}

}  // extern "C"

bool zunra::ini_readable_file(const char* path) {
  return static_cast<bool>(open_for_reading(path));
}
