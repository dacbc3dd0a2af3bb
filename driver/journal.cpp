#include "journal.h"

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "driver_log.h"
#include "exchange.h"
#include "journal_file.h"
#include "settings.h"
#include "settings_table.h"
#include "sha256.h"

namespace zunra {
namespace {

// What names this process in every intent, read once per process (a forked
// child reads its own).
struct ProcessIdentity {
  pid_t pid = 0;
  long long start = -1;
  std::string boot;
};

ProcessIdentity identity() {
  static std::mutex guard;
  static ProcessIdentity known;
  std::lock_guard<std::mutex> hold(guard);
  const pid_t self = ::getpid();
  if (known.pid != self) known = {self, process_start_ticks(self), boot_id()};
  return known;
}

// Unique among every call of every process on the till.
std::string new_call_id(const ProcessIdentity& self) {
  static std::atomic<unsigned> sequence{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char id[64];
  std::snprintf(id, sizeof id, "%d-%lld%09ld-%u", static_cast<int>(self.pid),
                static_cast<long long>(now.tv_sec), now.tv_nsec, ++sequence);
  return id;
}

// A key as it may stand in the journal: letters and digits, at most 64.
std::string key_text(const char* text, std::size_t length) {
  std::string key;
  for (std::size_t i = 0; i < length && key.size() < 64; ++i) {
    const char c = text[i];
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) key += c;
  }
  return key;
}

// Field `n` of the reply in BC (the text after its n-th '|').
std::string reply_field(int n) {
  const char* at = BC.data;
  for (int i = 0; i < n && at; ++i) {
    at = std::strchr(at, '|');
    if (at) ++at;
  }
  if (!at) return {};
  const char* end = std::strchr(at, '|');
  return key_text(at, end ? static_cast<std::size_t>(end - at) : std::strlen(at));
}

void write(const JournalRecord& record, bool durable, bool& written) {
  const std::string path = journal_path();
  int error = 0;
  written = append_journal(path, record.line(), durable, error) == 0;
  if (written) return;
  static std::atomic<pid_t> said_by{0};
  const char* why = error == ELOOP ? "e um link simbolico"
                    : error == -1  ? "nao e um arquivo comum"
                                   : std::strerror(error);
  say_once(said_by, "Diario fiscal: Erro ao gravar o arquivo ", (path + ": " + why).c_str());
}

}  // namespace

std::string journal_path() {
  return journal_path_in(settings_dir());
}

CallJournal::CallJournal(const char* function, int session, const char* chave, const char* issued_code)
    : function_(function), session_(session), chave_(chave), issued_code_(issued_code) {}

void CallJournal::before_frame(const char* document) noexcept {
  if (asked_ || !setting(journal_on)) return;
  asked_ = true;
  try {
    write_intent(document);
  } catch (...) {  // no memory for a line: the sale goes on without it
  }
}

void CallJournal::write_intent(const char* document) {
  const ProcessIdentity self = identity();
  id_ = new_call_id(self);
  const std::size_t length = std::strlen(document);
  JournalRecord intent("intent");
  intent.text("id", id_)
      .text("t", journal_time_now())
      .number("pid", self.pid)
      .number("start", self.start)
      .text("boot", self.boot)
      .text("fn", function_)
      .number("sessao", session_)
      .text("sha256", sha256_hex(document, length))
      .number("len", static_cast<long long>(length));
  if (chave_) intent.text("chCanc", key_text(chave_, std::strlen(chave_)));
  write(intent, true, written_);
}

void CallJournal::after_call(const End& end) noexcept {
  if (!written_) return;
  try {
    write_outcome(end);
  } catch (...) {
  }
}

void CallJournal::write_outcome(const End& end) {
  JournalRecord outcome("outcome");
  outcome.text("id", id_)
      .text("t", journal_time_now())
      .number("pid", identity().pid)
      .text("fn", function_)
      .number("sessao", session_);
  const std::string code(reply_code());
  if (end.answered && code == issued_code_) {
    outcome.text("result", kIssued).text("code", code).text("key", reply_field(8));
  } else if (end.answered || end.refused_busy) {
    outcome.text("result", kRefused).text("code", key_text(code.data(), code.size()));
  } else {
    outcome.text("result", kUnknown);
  }
  outcome.number("attempts", end.attempts).flag("recovered", end.recovered);
  bool ignored;
  write(outcome, false, ignored);
}

}  // namespace zunra
