#include "counters.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "settings.h"
#include "settings_table.h"
#include "unique_fd.h"
#include "zunra_sat_legacy.h"

namespace zunra::counters {

namespace {

// How often a process looks whether the file it maps is still the one in
// the directory (replaced by another process, removed by a purge).
constexpr std::int64_t kRecheckMs = 1000;

static_assert(__atomic_always_lock_free(sizeof(std::uint64_t), nullptr), "counters need 64-bit atomics");

// Only the directory's writers could have made a file of another owner:
// root, this user, the directory's owner, or its group when only the group
// may write there.
bool trusted_owner(const struct stat& file, const struct stat& dir) {
  if (file.st_uid == 0 || file.st_uid == ::geteuid() || file.st_uid == dir.st_uid) return true;
  return file.st_gid == dir.st_gid && (dir.st_mode & S_IWGRP) && !(dir.st_mode & S_IWOTH);
}

// Maps the open file when it is exactly one of ours.
Mapping map_if_ours(int fd, const struct stat& dir) {
  struct stat file;
  if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || (file.st_mode & 07777) != 0660 ||
      file.st_size != static_cast<off_t>(sizeof(Layout)) || !trusted_owner(file, dir))
    return {};
  Mapping mapping(fd, true);
  if (mapping && !header_is_ours(mapping.layout()->header)) return {};
  return mapping;
}

// A fresh file, all counts zero, put in place whole: linked under the name
// when there is none (a process that made one meanwhile wins), renamed over
// a foreign one.
Mapping make_fresh(const std::string& path, const struct stat& dir, bool replace) {
  std::string temporary = path + ".XXXXXX";
  UniqueFd fd(off_standard_streams(::mkostemp(temporary.data(), O_CLOEXEC)));
  if (!fd) return {};
  ::fchmod(fd.get(), 0660);
  if (::fchown(fd.get(), static_cast<uid_t>(-1), dir.st_gid) != 0) {
    // Not in the directory's group: the file keeps ours.
  }
  Mapping mapping;
  if (::ftruncate(fd.get(), sizeof(Layout)) == 0) mapping = Mapping(fd.get(), true);
  if (mapping) make_header(mapping.layout()->header);
  const bool placed = mapping && (replace ? ::rename(temporary.c_str(), path.c_str())
                                          : ::link(temporary.c_str(), path.c_str())) == 0;
  if (!placed || !replace) ::unlink(temporary.c_str());
  return placed ? std::move(mapping) : Mapping();
}

// The counters file at `path`, made or replaced as needed; empty when it
// cannot be had (no directory, no right to write it, no descriptor free).
Mapping open_counters(const std::string& path) {
  const std::string dir_path = path.substr(0, path.rfind('/') + 1);
  struct stat dir;
  if (::stat(dir_path.c_str(), &dir) != 0) return {};
  for (int round = 0; round < 3; ++round) {
    UniqueFd fd(
        off_standard_streams(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)));
    if (fd) {
      if (Mapping mapping = map_if_ours(fd.get(), dir)) return mapping;
    } else if (errno != ENOENT && errno != ELOOP && errno != EACCES && errno != EPERM && errno != ENXIO) {
      return {};  // a passing want of descriptors or memory never costs the counts
    }
    if (Mapping mapping = make_fresh(path, dir, static_cast<bool>(fd) || errno != ENOENT)) return mapping;
  }
  return {};
}

// The process's current mapping. A file the process stops using stays
// mapped until it exits, as another thread may be counting into it; only a
// few replacements are followed, so this stays bounded.
struct Current {
  std::atomic<Layout*> layout{nullptr};
  std::atomic<std::int64_t> checked_ms{INT64_MIN / 2};
  std::mutex refreshing;  // only ever tried, never waited for
  std::array<Mapping, 4> held;
  std::size_t used = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};
Current& current_state() {
  // Never destroyed: a thread still in a call while the program exits
  // counts into a mapping that is still there.
  static Current* const state = new Current;
  return *state;
}

std::int64_t monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void refresh(Current& c) {
  const std::string path = counters_file_path();
  struct stat named;
  if (c.layout.load(std::memory_order_relaxed) && ::lstat(path.c_str(), &named) == 0 &&
      named.st_dev == c.dev && named.st_ino == c.ino)
    return;
  if (c.used == c.held.size()) return;
  Mapping mapping = open_counters(path);
  struct stat file;
  if (!mapping || ::lstat(path.c_str(), &file) != 0) return;
  c.dev = file.st_dev;
  c.ino = file.st_ino;
  c.layout.store(mapping.layout(), std::memory_order_release);
  c.held[c.used++] = std::move(mapping);
}

Values* values() noexcept {
  Current& c = current_state();
  const std::int64_t now = monotonic_ms();
  if (now - c.checked_ms.load(std::memory_order_relaxed) >= kRecheckMs && c.refreshing.try_lock()) {
    std::lock_guard<std::mutex> hold(c.refreshing, std::adopt_lock);
    c.checked_ms.store(now, std::memory_order_relaxed);
    try {
      refresh(c);
    } catch (...) {
    }
  }
  Layout* layout = c.layout.load(std::memory_order_acquire);
  return layout ? &layout->values : nullptr;
}

void add(std::uint64_t& word, std::uint64_t n) {
  __atomic_fetch_add(&word, n, __ATOMIC_RELAXED);
}

// Raises `word` to `value` when `key` of value is above key of the word, or
// the word is still unset.
template <class Key>
void raise_to(std::uint64_t& word, std::uint64_t value, Key key) {
  std::uint64_t now = __atomic_load_n(&word, __ATOMIC_RELAXED);
  while ((now == 0 || key(value) > key(now)) &&
         !__atomic_compare_exchange_n(&word, &now, value, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

constexpr std::uint64_t kField28 = (std::uint64_t{1} << 28) - 1;

std::uint64_t clamp28(std::int64_t ms) {
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms) > kField28 ? kField28 : static_cast<std::uint64_t>(ms);
}

// The running SAT call on this thread.
struct CallState {
  int function = -1;  // -1: no call running
  bool fallback = false;
  Outcome reason = Outcome::no_reply;
  std::uint32_t detail = 0;
  std::uint64_t more_attempts = 0, busy_retries = 0;
  std::int64_t allowed_ms = 0;
  std::chrono::steady_clock::time_point start;
};
thread_local CallState t_call;

// The class of the unit's reply in BC by its return code.
Outcome reply_class() {
  const char* bar = static_cast<const char*>(std::memchr(BC.data, '|', 16));
  if (bar == nullptr || strnlen(bar + 1, 5) < 5) return Outcome::unit_error;
  if (std::strncmp(bar + 3, "000", 3) == 0) return Outcome::success;
  if (std::strncmp(bar + 3, "098", 3) == 0) return Outcome::unit_busy;
  return Outcome::unit_error;
}

// One line to syslog when SYSLOG is on: never a document or a code, only
// the function, the session, the device and what happened.
template <typename... Args>
void syslog_line(const char* format, Args... args) {
  if (!setting(syslog_lines)) return;
  char line[256];
  std::snprintf(line, sizeof line, format, args...);
  ::syslog(LOG_USER | LOG_WARNING, "zunra_sat: %s", line);
}

// The session at the head of the fallback reply in BC.
std::string reply_session() {
  return std::string(BC.data, strnlen(BC.data, std::min<std::size_t>(std::strcspn(BC.data, "|"), 12)));
}

}  // namespace

std::string counters_file_path() {
  return counters_file_in(settings_dir());
}

LongestCall longest_call_of(const Values& v) {
  const std::uint64_t w = v.longest_call;
  const int function = static_cast<int>(w & 0xff);
  if (w == 0 || function >= kFunctions) return {0, 0, -1};
  return {static_cast<std::int64_t>(w >> 36), static_cast<std::int64_t>((w >> 8) & kField28), function};
}

CountedCall::CountedCall(const char* failure_code) noexcept : active_(false) {
  const char* code = failure_code && failure_code[0] == '|' ? failure_code + 1 : failure_code;
  if (!code || t_call.function >= 0 || code[0] < '0' || code[0] > '9' || code[1] < '0' || code[1] > '9')
    return;
  const int function = (code[0] - '0') * 10 + (code[1] - '0') - 4;
  if (function < 0 || function >= kFunctions) return;
  t_call = CallState{};
  t_call.function = function;
  t_call.start = std::chrono::steady_clock::now();
  active_ = true;
}

CountedCall::~CountedCall() {
  if (!active_) return;
  const CallState call = std::exchange(t_call, CallState{});
  const Outcome outcome = call.fallback ? call.reason : reply_class();
  const int f = call.function;
  if (Values* v = values()) {
    add(v->calls[f][static_cast<int>(outcome)], 1);
    add(v->attempts[f], 1 + call.more_attempts);
    if (call.busy_retries) add(v->busy_retries[f], call.busy_retries);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - call.start);
    raise_to(v->longest_call,
             clamp28(took.count()) << 36 | clamp28(call.allowed_ms) << 8 | static_cast<unsigned>(f),
             [](std::uint64_t w) { return w >> 36; });
    if (call.fallback) {
      const auto now = static_cast<std::uint64_t>(std::time(nullptr));
      const auto pid = static_cast<std::uint64_t>(::getpid()) & 0x3fffff;
      __atomic_store_n(&v->last_fallback_detail, pid << 32 | call.detail, __ATOMIC_RELAXED);
      __atomic_store_n(&v->last_fallback,
                       now << 32 | pid << 10 | static_cast<unsigned>(f) << 5 | static_cast<unsigned>(outcome),
                       __ATOMIC_RELEASE);
    }
  }
  if (call.fallback) {
    try {
      syslog_line("%s sessao %s: resposta de contingencia, %s (%s)", kFunctionNames[f],
                  reply_session().c_str(), kOutcomeNames[static_cast<int>(outcome)].text, serial_path().text);
    } catch (...) {
    }
  }
}

void failed(Outcome reason, std::int64_t detail) noexcept {
  t_call.reason = reason;
  t_call.detail = detail < 0 ? 0 : static_cast<std::uint32_t>(detail);
}

void fallback_written() noexcept {
  t_call.fallback = true;
}

void reply_taken() noexcept {
  t_call.fallback = false;
}

void next_attempt() noexcept {
  if (t_call.function < 0) return;
  ++t_call.more_attempts;
  if (!t_call.fallback) ++t_call.busy_retries;  // the attempt before got the unit's own answer
}

void allowed_ms(std::int64_t ms) noexcept {
  t_call.allowed_ms += ms;
}

void recovery_query(Finding found, int session) noexcept {
  if (Values* v = values()) add(v->recovery_queries[static_cast<int>(found)], 1);
  if (t_call.function >= 0)
    syslog_line("%s sessao %06d: consulta de sessao apos falha: %s", kFunctionNames[t_call.function], session,
                kFindingNames[static_cast<int>(found)].text);
}

void lock_waited(std::int64_t us) noexcept {
  Values* v = values();
  if (!v) return;
  const std::uint64_t waited = us < 0 ? 0 : static_cast<std::uint64_t>(us);
  add(v->lock_waits, 1);
  add(v->lock_wait_us_total, waited);
  raise_to(v->lock_wait_us_longest, waited, [](std::uint64_t w) { return w; });
}

void sent(std::size_t bytes) noexcept {
  if (Values* v = values()) add(v->bytes_sent, bytes);
}

void received(std::size_t bytes) noexcept {
  if (bytes == 0) return;
  if (Values* v = values()) add(v->bytes_received, bytes);
}

}  // namespace zunra::counters
