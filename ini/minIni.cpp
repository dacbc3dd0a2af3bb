// The INI module: stateless reading and writing of small INI files through
// fixed 512-byte line buffers, without heap memory. The same source is built
// into the library (which exports the ten public functions) and into sat_cli.
#include "minIni.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int INI_BUFFERSIZE = 512;  // one line, its terminator included

enum QuoteOption { QUOTE_NONE = 0, QUOTE_ENQUOTE = 1, QUOTE_DEQUOTE = 2 };

struct FileCloser {
  void operator()(FILE* fp) const { fclose(fp); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File open_for_reading(const char* Filename) {
  return File(Filename ? fopen(Filename, "rb") : nullptr);
}

// Every byte from 0x01 to 0x20 is white space; bytes from 0x80 up are text.
bool is_blank(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0 && u <= ' ';
}

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
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

// Reads one line as fgets does (at most size - 1 bytes, up to and including
// the line feed) but returns the number of bytes read, 0 at end of file or on
// a read error. The writer copies by that count, so a stray NUL byte inside a
// line cannot make it lose the rest of the line.
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

char* skipleading(const char* str) {
  assert(str != nullptr);
  while (is_blank(*str)) str++;
  return const_cast<char*>(str);
}

char* skiptrailing(const char* str, const char* base) {
  assert(str != nullptr && base != nullptr && str >= base);
  while (str > base && is_blank(str[-1])) str--;
  return const_cast<char*>(str);
}

char* striptrailing(char* str) {
  char* end = skiptrailing(str + strlen(str), str);
  *end = '\0';
  return str;
}

// Bounded copy that always terminates dest. Copies inside one buffer only
// ever move text towards the buffer's start, which a forward copy allows.
char* save_strncpy(char* dest, const char* source, size_t maxlen, QuoteOption option) {
  assert(dest != nullptr && source != nullptr && maxlen >= 1);
  assert(dest <= source || dest >= source + maxlen);
  if (option == QUOTE_ENQUOTE && maxlen < 3) option = QUOTE_NONE;  // no room for the quotes
  size_t d = 0;
  switch (option) {
    case QUOTE_NONE:
      for (size_t s = 0; source[s] != '\0' && d < maxlen - 1; s++) dest[d++] = source[s];
      break;
    case QUOTE_ENQUOTE:
      dest[d++] = '"';
      for (size_t s = 0; source[s] != '\0' && d < maxlen - 2; s++) {
        if (source[s] == '"') {
          if (d >= maxlen - 3) break;  // the escaped quote needs two bytes
          dest[d++] = '\\';
        }
        dest[d++] = source[s];
      }
      dest[d++] = '"';
      break;
    case QUOTE_DEQUOTE:
      for (size_t s = 0; source[s] != '\0' && d < maxlen - 1; s++) {
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

// Cuts a value at its comment and trailing white space and takes off the
// quotes that enclose the whole of it. Returns the start of the value and
// the copy mode that undoes the escapes of a quoted value.
char* cleanstring(char* string, QuoteOption* quotes) {
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
  striptrailing(string);
  *quotes = QUOTE_NONE;
  const size_t length = strlen(string);
  if (length > 0 && string[0] == '"' && string[length - 1] == '"') {
    string[length - 1] = '\0';  // a lone quote is both ends and leaves ""
    string++;
    *quotes = QUOTE_DEQUOTE;
  }
  return string;
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
int getkeystring(FILE* fp, const char* Section, const char* Key, int idxSection, int idxKey, char* Buffer,
                 int BufferSize) {
  assert(fp != nullptr && Buffer != nullptr && BufferSize > 0);
  const bool section_by_name = Section != nullptr && *Section != '\0';
  assert(!(section_by_name && idxSection >= 0));
  assert(idxSection >= 0 || Key != nullptr || idxKey >= 0);
  char LocalBuffer[INI_BUFFERSIZE];
  char* sp;
  char* ep;

  if (section_by_name || idxSection >= 0) {
    int idx = -1;
    for (;;) {
      if (read_line(LocalBuffer, INI_BUFFERSIZE, fp) == 0) return 0;
      sp = skipleading(LocalBuffer);
      ep = header_end(sp);
      if (ep == nullptr) continue;
      const bool found = section_by_name ? names_equal(sp + 1, static_cast<size_t>(ep - sp - 1), Section)
                                         : ++idx == idxSection;
      if (found) break;
    }
    if (idxSection >= 0) {
      *ep = '\0';
      save_strncpy(Buffer, sp + 1, static_cast<size_t>(BufferSize), QUOTE_NONE);
      return 1;
    }
  }

  int idx = -1;
  for (;;) {
    if (read_line(LocalBuffer, INI_BUFFERSIZE, fp) == 0) return 0;
    sp = skipleading(LocalBuffer);
    if (*sp == '[') return 0;  // the next section starts, with or without its ']'
    if (*sp == ';' || *sp == '#') continue;
    ep = find_separator(sp);
    if (ep == nullptr) continue;
    char* name_end = skiptrailing(ep, sp);
    const bool found =
        Key != nullptr ? names_equal(sp, static_cast<size_t>(name_end - sp), Key) : ++idx == idxKey;
    if (!found) continue;
    if (idxKey >= 0) {
      *name_end = '\0';
      save_strncpy(Buffer, sp, static_cast<size_t>(BufferSize), QUOTE_NONE);
    } else {
      QuoteOption quotes;
      char* value = cleanstring(skipleading(ep + 1), &quotes);
      save_strncpy(Buffer, value, static_cast<size_t>(BufferSize), quotes);
    }
    return 1;
  }
}

// ---- writing ---------------------------------------------------------------

// The file name with its last character replaced by '~', so the temporary
// file lies beside the file. A name that already ends in '~' gets '#'
// instead: its temporary file must never be the file itself.
void ini_tempname(char* dest, const char* source, int maxlength) {
  save_strncpy(dest, source, static_cast<size_t>(maxlength), QUOTE_NONE);
  const size_t length = strlen(dest);
  assert(length > 0);
  dest[length - 1] = dest[length - 1] == '~' ? '#' : '~';
}

int check_enquote(const char* Value) {
  const size_t length = strlen(Value);
  return strpbrk(Value, "\";#") != nullptr || (length > 0 && Value[length - 1] == ' ');
}

void writesection(char* LocalBuffer, const char* Section, FILE* fp) {
  if (Section == nullptr || *Section == '\0') return;
  LocalBuffer[0] = '[';
  save_strncpy(LocalBuffer + 1, Section, INI_BUFFERSIZE - 3, QUOTE_NONE);  // room for "]\n"
  strcat(LocalBuffer, "]\n");
  fputs(LocalBuffer, fp);
}

void writekey(char* LocalBuffer, const char* Key, const char* Value, FILE* fp) {
  save_strncpy(LocalBuffer, Key, INI_BUFFERSIZE - 2, QUOTE_NONE);  // room for '=' and '\n'
  char* p = LocalBuffer + strlen(LocalBuffer);
  *p++ = '=';
  const size_t room = INI_BUFFERSIZE - static_cast<size_t>(p - LocalBuffer) - 1;
  save_strncpy(p, Value, room, check_enquote(Value) ? QUOTE_ENQUOTE : QUOTE_NONE);
  strcat(LocalBuffer, "\n");
  fputs(LocalBuffer, fp);
}

// Lines read from the source but not yet copied: only their byte count and
// where they start are kept; a flush reads them again. `failed` records a
// read, write or positioning error, after which the copy is thrown away.
struct WriteCache {
  FILE* src;
  FILE* out;
  fpos_t mark;
  int pending;
  bool failed;
};

int cache_accum(int length, int* size, int max) {
  if (*size + length >= max) return 0;
  *size += length;
  return 1;
}

// Writes the pending lines; 1 when the text written ends with a line feed.
int cache_flush(char* buffer, WriteCache& cache) {
  if (fsetpos(cache.src, &cache.mark) != 0) cache.failed = true;
  int n = 0;
  while (n < cache.pending) {
    const int got = read_line(buffer + n, INI_BUFFERSIZE - n, cache.src);
    if (got == 0) break;
    n += got;
  }
  // Fewer or more bytes than counted: the source changed or could not be read.
  if (n != cache.pending) cache.failed = true;
  if (n > 0 && fwrite(buffer, 1, static_cast<size_t>(n), cache.out) != static_cast<size_t>(n)) {
    cache.failed = true;
  }
  if (fgetpos(cache.src, &cache.mark) != 0) cache.failed = true;
  cache.pending = 0;
  return n > 0 && buffer[n - 1] == '\n';
}

// Reads again the line a flush has just stepped back over; it must be there.
int reread_line(char* buffer, WriteCache& cache) {
  const int length = read_line(buffer, INI_BUFFERSIZE, cache.src);
  if (length == 0) cache.failed = true;
  return length;
}

// Counts the line just read into the cache, flushing first when it would not
// fit; the flush leaves the source at the line's start, so it is read again.
void count_line(char* buffer, int length, WriteCache& cache) {
  if (cache_accum(length, &cache.pending, INI_BUFFERSIZE)) return;
  cache_flush(buffer, cache);
  cache_accum(reread_line(buffer, cache), &cache.pending, INI_BUFFERSIZE);
}

// Leaves the line just read out of the copy by moving the mark behind it.
void drop_line(char* buffer, WriteCache& cache) {
  if (cache.pending > 0) {
    cache_flush(buffer, cache);
    reread_line(buffer, cache);
  }
  if (fgetpos(cache.src, &cache.mark) != 0) cache.failed = true;
}

// Pushes a new file's bytes to the disk and closes it; false on any error.
bool finish_output(File& out) {
  bool ok = !ferror(out.get());
  ok = fflush(out.get()) == 0 && ok;
  ok = ok && fsync(fileno(out.get())) == 0;
  return fclose(out.release()) == 0 && ok;
}

// Puts the copy in place of the file with one rename, so the file never goes
// missing. On any error the copy is removed and the file stays as it was.
int close_rename(File& src, File& out, WriteCache& cache, const char* Filename, char* buffer) {
  bool ok = !cache.failed && !ferror(src.get());
  src.reset();
  ok = finish_output(out) && ok;
  ini_tempname(buffer, Filename, INI_BUFFERSIZE);
  if (ok && rename(buffer, Filename) == 0) return 1;
  remove(buffer);
  return 0;
}

void strreverse(char* str) {
  for (size_t i = 0, j = strlen(str); i + 1 < j; i++, j--) {
    const char c = str[i];
    str[i] = str[j - 1];
    str[j - 1] = c;
  }
}

// Each digit comes from the signed remainder, so the most negative long is
// written without overflowing.
void long2str(long value, char* str) {
  const bool negative = value < 0;
  int i = 0;
  do {
    const long digit = value % 10;
    str[i++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
    value /= 10;
  } while (value != 0);
  if (negative) str[i++] = '-';
  str[i] = '\0';
  strreverse(str);
}

bool has_line_feed(const char* text) {
  return text != nullptr && strchr(text, '\n') != nullptr;
}

}  // namespace

extern "C" {

int ini_gets(const char* Section, const char* Key, const char* DefValue, char* Buffer, int BufferSize,
             const char* Filename) {
  if (Buffer == nullptr || BufferSize <= 0 || Key == nullptr) return 0;
  File fp = open_for_reading(Filename);
  if (!fp || !getkeystring(fp.get(), Section, Key, -1, -1, Buffer, BufferSize)) {
    save_strncpy(Buffer, DefValue != nullptr ? DefValue : "", static_cast<size_t>(BufferSize), QUOTE_NONE);
  }
  return static_cast<int>(strlen(Buffer));
}

long ini_getl(const char* Section, const char* Key, long DefValue, const char* Filename) {
  char buffer[64];
  const int length = ini_gets(Section, Key, "", buffer, sizeof buffer, Filename);
  if (length == 0) return DefValue;
  const int base = (length >= 2 && ascii_upper(buffer[1]) == 'X') ? 16 : 10;
  return strtol(buffer, nullptr, base);
}

float ini_getf(const char* Section, const char* Key, float DefValue, const char* Filename) {
  char buffer[64];
  if (ini_gets(Section, Key, "", buffer, sizeof buffer, Filename) == 0) return DefValue;
  const double value = strtod(buffer, nullptr);
  // Narrowing a double beyond the float range is undefined; saturate instead.
  if (value > FLT_MAX) return HUGE_VALF;
  if (value < -FLT_MAX) return -HUGE_VALF;
  return static_cast<float>(value);
}

int ini_getbool(const char* Section, const char* Key, int DefValue, const char* Filename) {
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
  if (Buffer == nullptr || BufferSize <= 0 || idxSection < 0) return 0;
  File fp = open_for_reading(Filename);
  if (!fp || !getkeystring(fp.get(), nullptr, nullptr, idxSection, -1, Buffer, BufferSize)) *Buffer = '\0';
  return static_cast<int>(strlen(Buffer));
}

int ini_getkey(const char* Section, int idxKey, char* Buffer, int BufferSize, const char* Filename) {
  if (Buffer == nullptr || BufferSize <= 0 || idxKey < 0) return 0;
  File fp = open_for_reading(Filename);
  if (!fp || !getkeystring(fp.get(), Section, nullptr, -1, idxKey, Buffer, BufferSize)) *Buffer = '\0';
  return static_cast<int>(strlen(Buffer));
}

int ini_browse(INI_CALLBACK Callback, const void* UserData, const char* Filename) {
  if (Callback == nullptr) return 0;
  File fp = open_for_reading(Filename);
  if (!fp) return 0;
  // One buffer holds the section name, the key and the value, one after the
  // other; lines are read into the room behind the section name.
  char LocalBuffer[INI_BUFFERSIZE];
  LocalBuffer[0] = '\0';
  for (;;) {
    char* line = LocalBuffer + strlen(LocalBuffer) + 1;
    const int room = INI_BUFFERSIZE - static_cast<int>(line - LocalBuffer);
    if (read_line(line, room, fp.get()) == 0) break;
    char* sp = skipleading(line);
    if (*sp == '\0' || *sp == ';' || *sp == '#') continue;
    if (char* ep = header_end(sp)) {
      *ep = '\0';
      save_strncpy(LocalBuffer, sp + 1, INI_BUFFERSIZE, QUOTE_NONE);
      continue;
    }
    char* ep = find_separator(sp);
    if (ep == nullptr) continue;
    *ep = '\0';
    striptrailing(sp);
    char* key = line;
    save_strncpy(key, sp, static_cast<size_t>(room), QUOTE_NONE);
    char* value = key + strlen(key) + 1;
    QuoteOption quotes;
    char* cleaned = cleanstring(skipleading(ep + 1), &quotes);
    save_strncpy(value, cleaned, static_cast<size_t>(INI_BUFFERSIZE - (value - LocalBuffer)), quotes);
    if (!Callback(LocalBuffer, key, value, UserData)) break;
  }
  return 1;
}

int ini_puts(const char* Section, const char* Key, const char* Value, const char* Filename) {
  // Names of 512 bytes or more have no room for their temporary name; a line
  // feed in a text would split the line and could forge other keys.
  if (Filename == nullptr || strlen(Filename) >= INI_BUFFERSIZE) return 0;
  if (has_line_feed(Section) || has_line_feed(Key) || has_line_feed(Value)) return 0;
  char LocalBuffer[INI_BUFFERSIZE];

  File src = open_for_reading(Filename);
  if (!src) {
    // A file that exists but cannot be read is left alone, never emptied.
    if (errno != ENOENT) return 0;
    if (Key == nullptr || Value == nullptr) return 1;  // nothing to delete
    File out(fopen(Filename, "wbx"));                  // 'x': should it appear meanwhile, do not truncate it
    if (!out) return 0;
    writesection(LocalBuffer, Section, out.get());
    writekey(LocalBuffer, Key, Value, out.get());
    if (finish_output(out)) return 1;
    remove(Filename);  // ours, and incomplete
    return 0;
  }

  if (Key != nullptr && Value != nullptr) {
    // The value already stored: the file is not touched at all.
    const int found = getkeystring(src.get(), Section, Key, -1, -1, LocalBuffer, INI_BUFFERSIZE);
    if (ferror(src.get())) return 0;  // checked before rewind() clears it
    if (found && strcmp(LocalBuffer, Value) == 0) return 1;
    rewind(src.get());
  }

  // A leftover temporary file is replaced, and a link of that name is not
  // followed: the new file is always ours alone.
  ini_tempname(LocalBuffer, Filename, INI_BUFFERSIZE);
  unlink(LocalBuffer);
  File out(fopen(LocalBuffer, "wbx"));
  if (!out) return 0;

  WriteCache cache{src.get(), out.get(), {}, 0, false};
  if (fgetpos(cache.src, &cache.mark) != 0) cache.failed = true;
  const bool nameless = Section == nullptr || *Section == '\0';
  const bool storing = Key != nullptr && Value != nullptr;
  int length;

  if (!nameless) {
    // Copy up to and including the wanted header; the header itself is
    // left out when the whole section goes.
    bool found = false;
    while (!found) {
      length = read_line(LocalBuffer, INI_BUFFERSIZE, cache.src);
      if (length == 0) {
        // No such section: it is added at the end of the file.
        const int ends_in_lf = cache_flush(LocalBuffer, cache);
        if (storing) {
          if (!ends_in_lf) fputs("\n", cache.out);
          writesection(LocalBuffer, Section, cache.out);
          writekey(LocalBuffer, Key, Value, cache.out);
        }
        return close_rename(src, out, cache, Filename, LocalBuffer);
      }
      char* sp = skipleading(LocalBuffer);
      char* ep = header_end(sp);
      found = ep != nullptr && names_equal(sp + 1, static_cast<size_t>(ep - sp - 1), Section);
      if (!found || Key != nullptr) count_line(LocalBuffer, length, cache);
    }
    if (Key == nullptr)
      drop_line(LocalBuffer, cache);
    else
      cache_flush(LocalBuffer, cache);
  }

  for (;;) {
    length = read_line(LocalBuffer, INI_BUFFERSIZE, cache.src);
    if (length == 0) {
      // End of file inside the section: a new key goes last.
      const int ends_in_lf = cache_flush(LocalBuffer, cache);
      if (storing) {
        if (!ends_in_lf) fputs("\n", cache.out);
        writekey(LocalBuffer, Key, Value, cache.out);
      }
      break;
    }
    char* sp = skipleading(LocalBuffer);
    char* ep = *sp == '[' ? nullptr : find_separator(sp);
    const bool is_key_line = ep != nullptr && *sp != ';' && *sp != '#';
    // A comment is never taken for a key, even when the key's own name
    // starts with ';' or '#': the reader never sees such a key, and
    // deleting or replacing it must not destroy the comment.
    const bool wanted = Key != nullptr && is_key_line &&
                        names_equal(sp, static_cast<size_t>(skiptrailing(ep, sp) - sp), Key);
    if (wanted || *sp == '[') {
      // Here the section ends or the key is replaced; the rest is copied.
      cache_flush(LocalBuffer, cache);
      if (storing) writekey(LocalBuffer, Key, Value, cache.out);
      length = reread_line(LocalBuffer, cache);
      if (*skipleading(LocalBuffer) == '[')
        count_line(LocalBuffer, length, cache);
      else
        drop_line(LocalBuffer, cache);
      while ((length = read_line(LocalBuffer, INI_BUFFERSIZE, cache.src)) > 0) {
        count_line(LocalBuffer, length, cache);
      }
      cache_flush(LocalBuffer, cache);
      break;
    }
    // Deleting the nameless section takes its key lines only; deleting a
    // named section takes every line up to the next header.
    if (Key != nullptr || (nameless && !is_key_line))
      count_line(LocalBuffer, length, cache);
    else
      drop_line(LocalBuffer, cache);
  }
  return close_rename(src, out, cache, Filename, LocalBuffer);
}

int ini_putl(const char* Section, const char* Key, long Value, const char* Filename) {
  char buffer[32];
  long2str(Value, buffer);
  return ini_puts(Section, Key, buffer, Filename);
}

int ini_putf(const char* Section, const char* Key, float Value, const char* Filename) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%f", static_cast<double>(Value));
  return ini_puts(Section, Key, buffer, Filename);
}

}  // extern "C"
