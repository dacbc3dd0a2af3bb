// The INI module: stateless reading and writing of small INI files through
// fixed 512-byte line buffers, without heap memory. The same source is built
// into the library (which exports the ten public functions) and into sat_cli.
#include "ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "unique_fd.h"
#include "wait.h"

namespace {

constexpr int INI_BUFFERSIZE = 512;  // one line, its terminator included

enum QuoteOption { QUOTE_NONE = 0, QUOTE_ENQUOTE = 1, QUOTE_DEQUOTE = 2 };

struct FileCloser {
  void operator()(FILE* fp) const { fclose(fp); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Windows editors start a UTF-8 file with a byte-order mark; it belongs to
// no line. Returns whether the file had one (the stream is then behind it).
bool skip_bom(FILE* fp) {
  static const int bom[] = {0xEF, 0xBB, 0xBF};
  for (int byte : bom) {
    if (getc_unlocked(fp) != byte) {
      rewind(fp);
      return false;
    }
  }
  return true;
}

// Regular files only. A FIFO would block the open, a device such as
// /dev/zero never ends, a directory cannot be read: each counts as missing
// (errno EINVAL; ENOENT only when the name does not exist). The name is
// looked at first so that no device is ever opened; the open cannot block,
// and the descriptor is checked again in case the name changed meanwhile.
File open_for_reading(const char* Filename) {
  struct stat st;
  if (Filename == nullptr || stat(Filename, &st) != 0) return File();
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return File();
  }
  const int fd = zunra::off_standard_streams(open(Filename, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd < 0) return File();
  FILE* fp = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (fp = fdopen(fd, "rb")) == nullptr) {
    close(fd);
    errno = EINVAL;
    return File();
  }
  skip_bom(fp);
  return File(fp);
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

// How long a writer waits for another writer of the same file, and how
// often it looks again meanwhile.
constexpr std::int64_t LOCK_WAIT_MS = 5000;
constexpr std::int64_t LOCK_RETRY_MS = 5;

// A write that found its file replaced or created under it starts again.
constexpr int TRY_AGAIN = -1;

// A temporary file of this writer alone, beside `target` so that the rename
// stays within one file system: "<target>~<pid>.<n>". It is created
// exclusively, so a planted link is never followed and no other writer's
// file is touched. `mode` is the creation mode (the umask applies).
File create_temp(char* temp, size_t size, const char* target, mode_t mode) {
  static std::atomic<unsigned> serial{0};
  for (int tries = 0; tries < 100; tries++) {
    const int n = snprintf(temp, size, "%s~%ld.%u", target, static_cast<long>(getpid()), serial++);
    if (n < 0 || static_cast<size_t>(n) >= size) break;
    const int fd = zunra::off_standard_streams(open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd < 0 && errno == EEXIST) continue;  // left by a writer that died
    if (fd < 0) break;
    if (FILE* fp = fdopen(fd, "wb")) return File(fp);
    close(fd);
    unlink(temp);
    break;
  }
  *temp = '\0';
  return File();
}

// The new file keeps the old one's permission bits, and its owner and group
// where this process may set them. When the group cannot be kept its bits
// are dropped, so that no other group gains access.
void keep_owner_and_mode(int fd, const struct stat& old) {
  mode_t mode = old.st_mode & 0777;
  if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    mode &= ~static_cast<mode_t>(070);
  }
  fchmod(fd, mode);
}

// A rename reaches the disk with its directory; until then a power cut can
// bring the old file back. `scratch` (PATH_MAX bytes) takes the directory
// name.
bool sync_directory(const char* path, char* scratch) {
  save_strncpy(scratch, path, PATH_MAX, QUOTE_NONE);
  char* slash = strrchr(scratch, '/');
  if (slash == nullptr)
    strcpy(scratch, ".");
  else
    slash[slash == scratch ? 1 : 0] = '\0';  // "/name" lives in "/"
  const int fd = zunra::off_standard_streams(open(scratch, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0 || errno == EINVAL;  // EINVAL: nothing to sync on this file system
  close(fd);
  return ok;
}

// Waits, bounded, for the writers' lock on the open file. flock() belongs to
// the open file, so threads exclude each other as well as processes, and a
// writer that dies lets go. A file system without locks is written unlocked.
bool lock_for_writing(int fd, const zunra::Deadline& deadline) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return true;
    if (deadline.passed()) return false;
    zunra::sleep_until(deadline.capped_ms(LOCK_RETRY_MS));
  }
}

int check_enquote(const char* Value) {
  const size_t length = strlen(Value);
  return strpbrk(Value, "\";#") != nullptr || (length > 0 && Value[length - 1] == ' ');
}

void writesection(char* LocalBuffer, const char* Section, FILE* fp) {
  if (Section == nullptr || *Section == '\0') return;
  LocalBuffer[0] = '[';
  save_strncpy(LocalBuffer + 1, Section, 508, QUOTE_NONE);  // a name of 507 at most: 510 bytes a line
  strcat(LocalBuffer, "]\n");
  fputs(LocalBuffer, fp);
}

void writekey(char* LocalBuffer, const char* Key, const char* Value, FILE* fp) {
  // Key and value share 508 bytes, so a line with its '=' and line feed
  // never exceeds 510.
  save_strncpy(LocalBuffer, Key, 509, QUOTE_NONE);
  const size_t key_length = strlen(LocalBuffer);
  LocalBuffer[key_length] = '=';
  save_strncpy(LocalBuffer + key_length + 1, Value, 509 - key_length,
               check_enquote(Value) ? QUOTE_ENQUOTE : QUOTE_NONE);
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
// The source stays open, and with it the writers' lock, until the new file
// is in place.
int close_rename(File& src, File& out, WriteCache& cache, const char* target, char* temp) {
  bool ok = !cache.failed && !ferror(src.get());
  ok = finish_output(out) && ok;
  if (ok && rename(temp, target) == 0) return sync_directory(target, temp);
  unlink(temp);
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

bool has_line_break(const char* text) {
  return text != nullptr && strpbrk(text, "\r\n") != nullptr;
}

// Copies the source into the new file with the change made on the way.
void copy_with_change(WriteCache& cache, const char* Section, const char* Key, const char* Value,
                      char* LocalBuffer) {
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
        return;
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
      return;
    }
    char* sp = skipleading(LocalBuffer);
    char* ep = *sp == '[' ? nullptr : find_separator(sp);
    // Comment lines are not singled out: the ';' or '#' in front is part of
    // their name, so only a key named with it (";k") matches one (";k=1").
    const bool wanted = Key != nullptr && ep != nullptr &&
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
      return;
    }
    // Deleting the nameless section takes the lines the reader takes for
    // its keys; deleting a named section takes every line up to the next
    // header.
    const bool is_key_line = ep != nullptr && *sp != ';' && *sp != '#';
    if (Key != nullptr || (nameless && !is_key_line))
      count_line(LocalBuffer, length, cache);
    else
      drop_line(LocalBuffer, cache);
  }
}

// Rewrites an existing file (`target` has no links left in it) under the
// writers' lock. The unchanged-value check needs no lock: files are only
// ever replaced whole, never changed in place.
int write_existing(const char* Section, const char* Key, const char* Value, const char* target,
                   char* LocalBuffer, const zunra::Deadline& deadline) {
  File src = open_for_reading(target);
  // Gone meanwhile: created anew. Anything else (unreadable, not a regular
  // file) is left alone, never emptied or replaced.
  if (!src) return errno == ENOENT ? TRY_AGAIN : 0;
  const bool has_bom = ftello(src.get()) > 0;
  fpos_t start;
  if (fgetpos(src.get(), &start) != 0) return 0;

  if (Key != nullptr && Value != nullptr) {
    // The value already stored: the file is not touched at all.
    const int found = getkeystring(src.get(), Section, Key, -1, -1, LocalBuffer, INI_BUFFERSIZE);
    if (ferror(src.get())) return 0;
    if (found && strcmp(LocalBuffer, Value) == 0) return 1;
    if (fsetpos(src.get(), &start) != 0) return 0;
  }

  // Once the lock is held the name must still be this file: another writer
  // may have put its new file in place while this one waited.
  const int fd = fileno(src.get());
  if (!lock_for_writing(fd, deadline)) return 0;
  struct stat held, named;
  if (fstat(fd, &held) != 0) return 0;
  if (stat(target, &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino)
    return TRY_AGAIN;

  char temp[PATH_MAX];
  File out = create_temp(temp, sizeof temp, target, 0600);
  if (!out) return 0;
  keep_owner_and_mode(fileno(out.get()), held);
  if (has_bom) fputs("\xEF\xBB\xBF", out.get());
  WriteCache cache{src.get(), out.get(), start, 0, false};
  copy_with_change(cache, Section, Key, Value, LocalBuffer);
  return close_rename(src, out, cache, target, temp);
}

// A file that does not exist yet is written whole under a temporary name,
// then put in place only while the name is still free: a reader never sees
// it half written, and a file another writer created first is never
// replaced (the write then starts again on that file).
int write_new_file(const char* Section, const char* Key, const char* Value, const char* Filename,
                   char* LocalBuffer) {
  char temp[PATH_MAX];
  File out = create_temp(temp, sizeof temp, Filename, 0666);
  if (!out) return 0;
  writesection(LocalBuffer, Section, out.get());
  writekey(LocalBuffer, Key, Value, out.get());
  if (!finish_output(out)) {
    unlink(temp);
    return 0;
  }
  bool placed = renameat2(AT_FDCWD, temp, AT_FDCWD, Filename, RENAME_NOREPLACE) == 0;
  bool linked = false;
  if (!placed && (errno == EINVAL || errno == ENOSYS)) placed = linked = link(temp, Filename) == 0;
  const int error = errno;
  if (!placed || linked) unlink(temp);
  if (!placed) return error == EEXIST ? TRY_AGAIN : 0;
  return sync_directory(Filename, temp);
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
  if (Filename == nullptr) Filename = "";  // as the readers take it: a file that is not there
  // A line break in a text would split its line and could forge other keys.
  if (has_line_break(Section) || has_line_break(Key) || has_line_break(Value)) return 0;
  const bool storing = Key != nullptr && Value != nullptr;
  char LocalBuffer[INI_BUFFERSIZE];
  char target[PATH_MAX];
  const zunra::Deadline deadline = zunra::Deadline::in_ms(LOCK_WAIT_MS);
  int result;
  do {
    // A link is written through: its target is replaced in its own
    // directory and the link stays a link.
    if (realpath(Filename, target) != nullptr) {
      result = write_existing(Section, Key, Value, target, LocalBuffer, deadline);
      continue;
    }
    if (errno != ENOENT) return 0;
    if (!storing) return 1;  // nothing to delete
    // A dangling link is not followed to create its target.
    struct stat st;
    if (*Filename == '\0' || lstat(Filename, &st) == 0 || errno != ENOENT) return 0;
    result = write_new_file(Section, Key, Value, Filename, LocalBuffer);
  } while (result == TRY_AGAIN && !deadline.passed());
  return result == 1;
}

}  // extern "C"

bool zunra::ini_readable_file(const char* path) {
  return static_cast<bool>(open_for_reading(path));
}

extern "C" {

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
