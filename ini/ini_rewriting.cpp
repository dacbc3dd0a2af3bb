// Changing an INI file: the old file is copied into a new one with the
// change made on the way, through a window of at most one line buffer of
// unchanged lines, and the new file takes the old one's place whole. No heap
// memory is used.
#include <sys/stat.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "atomic_file.h"
#include "ini_file.h"
#include "ini_internal.h"
#include "no_cancel.h"

namespace zunra::ini {
namespace {

// How long a writer waits for another writer of the same file.
constexpr std::int64_t kLockWaitMs = 5000;

// A write that found its file replaced or created under it starts again.
constexpr int kTryAgain = -1;

// Quoted when it holds a quote or a comment sign, or ends in a space that
// reading would strip.
int needs_quotes(const char* Value) {
  const size_t length = strlen(Value);
  return strpbrk(Value, "\";#") != nullptr || (length > 0 && Value[length - 1] == ' ');
}

void write_section_header(char* line_buffer, const char* Section, TempFile& out) {
  if (Section == nullptr || *Section == '\0') return;
  line_buffer[0] = '[';
  copy_bounded(line_buffer + 1, Section, 508, Quotes::none);  // a name of 507 at most: 510 bytes a line
  strcat(line_buffer, "]\n");
  out.write(line_buffer);
}

void write_key_line(char* line_buffer, const char* Key, const char* Value, TempFile& out) {
  // Key and value share 508 bytes, so a line with its '=' and line feed
  // never exceeds 510.
  copy_bounded(line_buffer, Key, 509, Quotes::none);
  const size_t key_length = strlen(line_buffer);
  line_buffer[key_length] = '=';
  copy_bounded(line_buffer + key_length + 1, Value, 509 - key_length,
               needs_quotes(Value) ? Quotes::enquote : Quotes::none);
  strcat(line_buffer, "\n");
  out.write(line_buffer);
}

// Lines read from the source but not yet copied: only their byte count and
// where they start are kept; a flush reads them again. `failed` records a
// read or positioning error, after which the copy is thrown away (the new
// file remembers its own write errors).
struct CopyWindow {
  FILE* src;
  TempFile& out;
  fpos_t mark;
  int pending;
  bool failed;
};

// Writes the pending lines; 1 when the text written ends with a line feed.
int flush_window(char* buffer, CopyWindow& window) {
  if (fsetpos(window.src, &window.mark) != 0) window.failed = true;
  int n = 0;
  while (n < window.pending) {
    const int got = read_line(buffer + n, kLineSize - n, window.src);
    if (got == 0) break;
    n += got;
  }
  // Fewer or more bytes than counted: the source changed or could not be read.
  if (n != window.pending) window.failed = true;
  window.out.write(buffer, static_cast<size_t>(n));
  if (fgetpos(window.src, &window.mark) != 0) window.failed = true;
  window.pending = 0;
  return n > 0 && buffer[n - 1] == '\n';
}

// Reads again the line a flush has just stepped back over; it must be there.
int reread_line(char* buffer, CopyWindow& window) {
  const int length = read_line(buffer, kLineSize, window.src);
  if (length == 0) window.failed = true;
  return length;
}

// Counts the line just read into the window, flushing first when it would not
// fit; the flush leaves the source at the line's start, so it is read again.
void hold_line(char* buffer, int length, CopyWindow& window) {
  if (window.pending + length < kLineSize) {
    window.pending += length;
    return;
  }
  flush_window(buffer, window);
  window.pending = reread_line(buffer, window);
}

// Leaves the line just read out of the copy by moving the mark behind it.
void drop_line(char* buffer, CopyWindow& window) {
  if (window.pending > 0) {
    flush_window(buffer, window);
    reread_line(buffer, window);
  }
  if (fgetpos(window.src, &window.mark) != 0) window.failed = true;
}

// Each digit comes from the signed remainder, so the most negative long is
// written without overflowing. `text` holds at least 21 bytes.
void format_long(long value, char* text) {
  const bool negative = value < 0;
  char digits[24];
  int n = 0;
  do {
    const long digit = value % 10;
    digits[n++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
    value /= 10;
  } while (value != 0);
  int i = 0;
  if (negative) text[i++] = '-';
  while (n > 0) text[i++] = digits[--n];
  text[i] = '\0';
}

bool has_line_break(const char* text) {
  return text != nullptr && strpbrk(text, "\r\n") != nullptr;
}

// Copies the source into the new file with the change made on the way.
void copy_with_change(CopyWindow& window, const char* Section, const char* Key, const char* Value,
                      char* line_buffer) {
  const bool nameless = Section == nullptr || *Section == '\0';
  const bool storing = Key != nullptr && Value != nullptr;
  int length;

  if (!nameless) {
    // Copy up to and including the wanted header; the header itself is
    // left out when the whole section goes.
    bool found = false;
    while (!found) {
      length = read_line(line_buffer, kLineSize, window.src);
      if (length == 0) {
        // No such section: it is added at the end of the file.
        const int ends_in_lf = flush_window(line_buffer, window);
        if (storing) {
          if (!ends_in_lf) window.out.write("\n");
          write_section_header(line_buffer, Section, window.out);
          write_key_line(line_buffer, Key, Value, window.out);
        }
        return;
      }
      char* sp = skip_blanks(line_buffer);
      char* ep = header_end(sp);
      found = ep != nullptr && names_equal(sp + 1, static_cast<size_t>(ep - sp - 1), Section);
      if (!found || Key != nullptr) hold_line(line_buffer, length, window);
    }
    if (Key == nullptr)
      drop_line(line_buffer, window);
    else
      flush_window(line_buffer, window);
  }

  for (;;) {
    length = read_line(line_buffer, kLineSize, window.src);
    if (length == 0) {
      // End of file inside the section: a new key goes last.
      const int ends_in_lf = flush_window(line_buffer, window);
      if (storing) {
        if (!ends_in_lf) window.out.write("\n");
        write_key_line(line_buffer, Key, Value, window.out);
      }
      return;
    }
    char* sp = skip_blanks(line_buffer);
    char* ep = *sp == '[' ? nullptr : find_separator(sp);
    // Comment lines are not singled out: the ';' or '#' in front is part of
    // their name, so only a key named with it (";k") matches one (";k=1").
    const bool wanted = Key != nullptr && ep != nullptr &&
                        names_equal(sp, static_cast<size_t>(back_over_blanks(ep, sp) - sp), Key);
    if (wanted || *sp == '[') {
      // Here the section ends or the key is replaced; the rest is copied.
      flush_window(line_buffer, window);
      if (storing) write_key_line(line_buffer, Key, Value, window.out);
      length = reread_line(line_buffer, window);
      if (*skip_blanks(line_buffer) == '[')
        hold_line(line_buffer, length, window);
      else
        drop_line(line_buffer, window);
      while ((length = read_line(line_buffer, kLineSize, window.src)) > 0) {
        hold_line(line_buffer, length, window);
      }
      flush_window(line_buffer, window);
      return;
    }
    // Deleting the nameless section takes the lines the reader takes for
    // its keys; deleting a named section takes every line up to the next
    // header.
    const bool is_key_line = ep != nullptr && *sp != ';' && *sp != '#';
    if (Key != nullptr || (nameless && !is_key_line))
      hold_line(line_buffer, length, window);
    else
      drop_line(line_buffer, window);
  }
}

// Rewrites an existing file (`target` has no links left in it) under the
// writers' lock. The unchanged-value check needs no lock: files are only
// ever replaced whole, never changed in place.
int rewrite_existing_file(const char* Section, const char* Key, const char* Value, const char* target,
                          char* line_buffer, const Deadline& deadline) {
  File src = open_for_reading(target);
  // Gone meanwhile: created anew. Anything else (unreadable, not a regular
  // file) is left alone, never emptied or replaced.
  if (!src) return errno == ENOENT ? kTryAgain : 0;
  const bool has_bom = ftello(src.get()) > 0;
  fpos_t start;
  if (fgetpos(src.get(), &start) != 0) return 0;

  if (Key != nullptr && Value != nullptr) {
    // The value already stored: the file is not touched at all.
    const int found = find_entry(src.get(), Section, Key, -1, -1, line_buffer, kLineSize);
    if (ferror(src.get())) return 0;
    if (found && strcmp(line_buffer, Value) == 0) return 1;
    if (fsetpos(src.get(), &start) != 0) return 0;
  }

  // Once the lock is held the name must still be this file: another writer
  // may have put its new file in place while this one waited.
  const int fd = fileno(src.get());
  if (!lock_for_writing(fd, deadline)) return 0;
  struct stat held;
  if (fstat(fd, &held) != 0) return 0;
  if (!still_named(target, held)) return kTryAgain;

  TempFile out(target, 0600);
  if (!out.ok()) return 0;
  out.keep_owner_and_mode(held);
  if (has_bom) out.write("\xEF\xBB\xBF");
  CopyWindow window{src.get(), out, start, 0, false};
  copy_with_change(window, Section, Key, Value, line_buffer);
  // On any error the copy goes and the file stays as it was. The source
  // stays open, and with it the writers' lock, until the new file is in
  // place.
  const bool copied = !window.failed && !ferror(src.get());
  return out.finish() && copied && out.replace(target);
}

// A file that does not exist yet is written whole under a temporary name,
// then put in place only while the name is still free: a reader never sees
// it half written, and a file another writer created first is never
// replaced (the write then starts again on that file).
int write_new_file(const char* Section, const char* Key, const char* Value, const char* Filename,
                   char* line_buffer) {
  TempFile out(Filename, 0666);
  if (!out.ok()) return 0;
  write_section_header(line_buffer, Section, out);
  write_key_line(line_buffer, Key, Value, out);
  if (!out.finish()) return 0;
  switch (out.place_if_absent(Filename)) {
    case TempFile::Placed::done:
      return 1;
    case TempFile::Placed::name_taken:
      return kTryAgain;
    default:
      return 0;
  }
}

}  // namespace
}  // namespace zunra::ini

using namespace zunra;
using namespace zunra::ini;

extern "C" {

int ini_puts(const char* Section, const char* Key, const char* Value, const char* Filename) {
  const zunra::NoCancel no_cancel;
  if (Filename == nullptr) Filename = "";  // as the readers take it: a file that is not there
  // A line break in a text would split its line and could forge other keys.
  if (has_line_break(Section) || has_line_break(Key) || has_line_break(Value)) return 0;
  const bool storing = Key != nullptr && Value != nullptr;
  char line_buffer[kLineSize];
  char target[PATH_MAX];
  const Deadline deadline = Deadline::in_ms(kLockWaitMs);
  int result;
  do {
    // A link is written through: its target is replaced in its own
    // directory and the link stays a link. A dangling one is not followed.
    const WriteTarget found = find_write_target(Filename, target);
    if (found == WriteTarget::existing)
      result = rewrite_existing_file(Section, Key, Value, target, line_buffer, deadline);
    else if (found == WriteTarget::failed)
      return 0;
    else if (!storing)
      return 1;  // nothing to delete
    else if (found == WriteTarget::not_creatable)
      return 0;
    else
      result = write_new_file(Section, Key, Value, Filename, line_buffer);
  } while (result == kTryAgain && !deadline.passed());
  return result == 1;
}

int ini_putl(const char* Section, const char* Key, long Value, const char* Filename) {
  const zunra::NoCancel no_cancel;
  char buffer[32];
  format_long(Value, buffer);
  return ini_puts(Section, Key, buffer, Filename);
}

int ini_putf(const char* Section, const char* Key, float Value, const char* Filename) {
  const zunra::NoCancel no_cancel;
  char buffer[64];
  {
    CLocaleNumbers numbers;
    snprintf(buffer, sizeof buffer, "%f", static_cast<double>(Value));
  }
  return ini_puts(Section, Key, buffer, Filename);
}

}  // extern "C"
