// What the three parts of the INI module share: reading and lookup
// (ini_reading.cpp), the rewrite with its copy window (ini_rewriting.cpp)
// and the safe handling of the files themselves (ini_file_safety.cpp).
// Hidden from the library's export table like everything not in
// ini_file.h.
#pragma once

#include <locale.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cstddef>
#include <memory>

#include "wait.h"

namespace zunra::ini {

// One line, its terminator included. Lines are read through buffers of this
// size, so a physical line of 512 bytes or more is seen as several lines.
constexpr int kLineSize = 512;

struct FileCloser {
  void operator()(FILE* fp) const { fclose(fp); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// ---- file safety -----------------------------------------------------------

// The named file opened for reading, when it is a regular file; null
// otherwise, with errno ENOENT for a name that does not exist, EINVAL for
// anything that is not a regular file, else why the open failed.
File open_regular_file(const char* name);

// Waits, bounded, for the writers' lock on the open file.
bool lock_for_writing(int fd, const Deadline& deadline);

// Whether `name` still names the file `held` describes: another writer may
// have put its new file in place meanwhile.
bool still_named(const char* name, const struct stat& held);

// ---- reading and lookup ----------------------------------------------------

// A regular file opened for reading, behind its UTF-8 byte-order mark if it
// has one; null as open_regular_file() says.
File open_for_reading(const char* name);

// Reads one line as fgets does (at most size - 1 bytes, up to and including
// the line feed) but returns the number of bytes read; 0 at end of file or
// on a read error.
int read_line(char* buffer, int size, FILE* fp);

char* skip_blanks(const char* text);
// Steps back from `end` over white space, never before `start`.
char* back_over_blanks(const char* end, const char* start);
bool names_equal(const char* name, std::size_t length, const char* wanted);

enum class Quotes { none, enquote, dequote };
// Bounded copy that always terminates `dest`, adding or taking off the
// escapes of a quoted value.
char* copy_bounded(char* dest, const char* source, std::size_t size, Quotes quotes);

// The separator of a key line ('=', else ':'), null when it has neither.
char* find_separator(char* line);
// The ']' of a header line starting at `text`, null for other lines.
char* header_end(char* text);

// Finds a section by name (Section non-empty) or by index (idxSection >= 0),
// then a key in it by name (Key) or by index (idxKey >= 0), and stores the
// section's name, the key's name or the key's value into Buffer. 1 when
// found.
int find_entry(FILE* fp, const char* Section, const char* Key, int idxSection, int idxKey, char* Buffer,
               int BufferSize);

// For its lifetime, numbers are read and written on this thread as in the
// C locale, whatever locale the calling program has set: under pt_BR a
// plain strtod reads 1.5 as 1 and printf writes 1,5. The thread's own
// locale comes back at scope exit.
class CLocaleNumbers {
 public:
  CLocaleNumbers();
  ~CLocaleNumbers();
  CLocaleNumbers(const CLocaleNumbers&) = delete;
  CLocaleNumbers& operator=(const CLocaleNumbers&) = delete;

 private:
  locale_t previous_;
};

}  // namespace zunra::ini
