#include "journal_reading.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "unique_fd.h"
#include "wait.h"

namespace zunra {
namespace {

constexpr std::int64_t kLockWaitMs = 1000;

void read_text(std::string_view text, const std::string& file, JournalContents& contents,
               std::map<std::string, std::size_t>& index) {
  for_each_line(text, [&](std::string_view line, long number) {
    RecordFields fields;
    if (!parse_record(line, fields)) {
      contents.torn.push_back({file, number});
      return;
    }
    const std::string id = fields.get("id");
    const auto [it, fresh] = index.emplace(id, contents.entries.size());
    if (fresh) {
      contents.entries.emplace_back();
      contents.entries.back().id = id;
    }
    JournalEntry& entry = contents.entries[it->second];
    const std::string event = fields.get("ev");
    if (event == "intent") {
      entry.has_intent = true;  // a copy carried across a rotation is the same
      entry.intent = fields;
    } else if (event == "outcome") {
      entry.has_outcome = true;
      entry.outcome = fields;
    } else if (event == "settled") {
      entry.has_settled = true;
      entry.settled = fields;
    }
  });
}

}  // namespace

std::string JournalEntry::known_result() const {
  if (has_settled) return settled.get("result");
  if (has_outcome && outcome.get("result") != kUnknown) return outcome.get("result");
  return {};
}

const RecordFields& JournalEntry::deciding() const {
  return has_settled ? settled : outcome;
}

JournalContents read_journal(const std::string& path) {
  JournalContents contents;
  UniqueFd current(
      off_standard_streams(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)));
  if (current)
    retry_until(Deadline::in_ms(kLockWaitMs), 8,
                [&] { return ::flock(current.get(), LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK; });
  std::map<std::string, std::size_t> index;
  for (const std::string& file : {path + ".1", path}) {
    std::string text;
    const int error = read_whole_file(file, text);
    if (error == ENOENT) continue;
    contents.found = true;
    if (error != 0) {
      contents.error = error;
      continue;
    }
    read_text(text, file, contents, index);
  }
  return contents;
}

}  // namespace zunra
