// The fiscal journal's file: one JSON object per line (JSON Lines), each
// line closed by the CRC-32 of everything before it, so that a line torn
// by a crash or a power cut is recognised and skipped. The library appends
// the intent and the outcome of every sale and cancellation; sat_journal
// reads them and appends what the unit says about unresolved ones. Both
// share this file's code, so the format has one writer and one reader.
//
//   {"v":1,"ev":"intent",...,"crc":"89abcdef"}
//
// The CRC covers the bytes from '{' up to the comma before "crc". The file
// is <settings directory>/journal.jsonl; past its limit it becomes
// journal.jsonl.1 (one old generation kept) and a fresh file starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zunra {

// CRC-32 (the polynomial of zip and Ethernet) of `size` bytes.
std::uint32_t crc32(const void* data, std::size_t size);

// The time of a record: UTC, "2026-12-07T16:42:49Z".
std::string journal_time_now();

// <dir>/journal.jsonl
std::string journal_path_in(const std::string& dir);

// One record being written: fields in the order they are added.
class JournalRecord {
 public:
  explicit JournalRecord(const char* event);
  JournalRecord& text(const char* key, std::string_view value);
  JournalRecord& number(const char* key, long long value);
  JournalRecord& flag(const char* key, bool value);
  // The whole line with its check, without the line feed.
  std::string line() const;

 private:
  std::string body_;
};

// The fields of one record read back: texts unescaped, numbers and
// booleans as written; "" for a field that is not there. (No containers:
// the library exports no template code.)
class RecordFields {
 public:
  std::string get(std::string_view key) const;
  long long number(std::string_view key, long long otherwise = -1) const;

 private:
  friend bool parse_record(std::string_view line, RecordFields& out);
  std::string body_;  // the line without its check
};

// Parses one line; false when its check or its shape is wrong (torn).
bool parse_record(std::string_view line, RecordFields& out);

// Results an outcome or a settlement names.
inline constexpr char kIssued[] = "issued";
inline constexpr char kRefused[] = "refused";
inline constexpr char kNotCarriedOut[] = "not_carried_out";
inline constexpr char kUnknown[] = "unknown";

// Calls visit(line, number) for each line of `text` that is not empty,
// numbered from 1.
template <class Visit>
void for_each_line(std::string_view text, Visit visit) {
  long number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    ++number;
    const std::string_view line = text.substr(0, end);
    if (!line.empty()) visit(line, number);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// The whole of a regular file (never through a link): 0, or an errno value.
int read_whole_file(const std::string& path, std::string& out);

// What tells a process apart from a later one with the same PID: its
// start time in clock ticks after boot (-1 when unknown), and the boot's id
// (empty when unknown).
long long process_start_ticks(int pid);
std::string boot_id();

// The size past which the journal is rotated (1 MiB: some 3,000 sales).
// Tests shorten it.
extern std::int64_t journal_limit_bytes;

// Appends `line` (from JournalRecord::line) as one write under the
// writers' lock: it never mixes with another process's line, and starts on
// a fresh line after a torn one. `durable`: waits until it is on the disk.
// A created journal is 0660 and only ever a regular file, never a link.
// At the limit the file is rotated; an entry without a final result in the
// generation being dropped is first copied forward, so nothing unresolved
// is ever lost. 0, or -1 with `error` set (an errno value, or -1 for a
// journal that is not a regular file).
int append_journal(const std::string& path, const std::string& line, bool durable, int& error);

}  // namespace zunra
