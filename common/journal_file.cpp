#include "journal_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "unique_fd.h"
#include "wait.h"

namespace zunra {

std::int64_t journal_limit_bytes = 1024 * 1024;

namespace {

// ,"crc":"89abcdef"} closes every line.
constexpr std::string_view kCheckHead = ",\"crc\":\"";
constexpr std::size_t kCheckSize = kCheckHead.size() + 8 + 2;

// A writer waits this long for the others, then appends all the same: one
// write keeps the line whole; only the rotation and the torn-line repair
// need the lock.
constexpr std::int64_t kLockWaitMs = 1000;

constexpr int kNotRegular = -1;

std::uint32_t crc_table_entry(std::uint32_t n) {
  for (int k = 0; k < 8; ++k) n = (n & 1) ? 0xEDB88320u ^ (n >> 1) : n >> 1;
  return n;
}

void append_escaped(std::string& out, std::string_view value) {
  out += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += hex;
    } else {
      out += c;
    }
  }
  out += '"';
}

// Reads a JSON string starting after its opening quote; `at` ends after
// the closing quote. Only what the writer produces is understood.
bool read_string(std::string_view s, std::size_t& at, std::string& out) {
  for (; at < s.size(); ++at) {
    const char c = s[at];
    if (c == '"') {
      ++at;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++at >= s.size()) return false;
    if (s[at] == 'u') {
      if (at + 4 >= s.size()) return false;
      const std::string hex(s.substr(at + 1, 4));
      char* end = nullptr;
      const long code = std::strtol(hex.c_str(), &end, 16);
      if (*end != '\0' || code > 0x7f) return false;
      out += static_cast<char>(code);
      at += 4;
    } else {
      out += s[at];
    }
  }
  return false;
}

}  // namespace

int read_whole_file(const std::string& path, std::string& out) {
  UniqueFd fd(off_standard_streams(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)));
  if (!fd) return errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return EINVAL;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

namespace {

// Calls visit(key, value) for each field of a record's body ({"key":value,
// ... without its check) until it returns true. False when the body is
// not of the shape the writer gives.
template <class Visit>
bool scan_fields(std::string_view body, Visit visit) {
  std::size_t at = 1;
  while (at < body.size()) {
    std::string key, value;
    if (body[at] != '"' || !read_string(body, ++at, key) || at >= body.size() || body[at] != ':')
      return false;
    ++at;
    if (at < body.size() && body[at] == '"') {
      if (!read_string(body, ++at, value)) return false;
    } else {
      const std::size_t comma = body.find(',', at);
      value =
          std::string(body.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at));
      at = comma == std::string_view::npos ? body.size() : comma;
    }
    if (visit(key, value)) return true;
    if (at < body.size() && body[at++] != ',') return false;
  }
  return true;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Opens the journal for appending, creating it 0660; never through a link,
// never anything but a regular file. `created` tells whether this call made it.
UniqueFd open_journal(const std::string& path, bool& created, int& error) {
  constexpr int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  created = false;
  UniqueFd fd(off_standard_streams(::open(path.c_str(), flags)));
  if (!fd && errno == ENOENT) {
    fd.reset(off_standard_streams(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0660)));
    if (fd) {
      created = true;
      ::fchmod(fd.get(), 0660);
    } else if (errno == EEXIST) {
      fd.reset(off_standard_streams(::open(path.c_str(), flags)));
    }
  }
  if (!fd) {
    error = errno;
    return fd;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = kNotRegular;
    fd.reset();
  }
  return fd;
}

// A new name in the directory lasts only once the directory is on the disk too.
void sync_directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd fd(off_standard_streams(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  if (fd) ::fsync(fd.get());
}

// A set of ids kept as 64-bit hashes (FNV-1a), open addressing. A plain
// array: the library exports no template code.
class IdSet {
 public:
  explicit IdSet(std::size_t entries) {
    while (mask_ + 1 < 2 * entries) mask_ = mask_ * 2 + 1;
    slots_ = new std::uint64_t[mask_ + 1]();
  }
  ~IdSet() { delete[] slots_; }
  IdSet(const IdSet&) = delete;
  IdSet& operator=(const IdSet&) = delete;

  void insert(std::string_view id) {
    const std::uint64_t h = hash(id);
    std::size_t at = h & mask_;
    while (slots_[at] != 0 && slots_[at] != h) at = (at + 1) & mask_;
    slots_[at] = h;
  }
  bool contains(std::string_view id) const {
    const std::uint64_t h = hash(id);
    for (std::size_t at = h & mask_; slots_[at] != 0; at = (at + 1) & mask_)
      if (slots_[at] == h) return true;
    return false;
  }

 private:
  static std::uint64_t hash(std::string_view id) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const char c : id) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    return h == 0 ? 1 : h;
  }
  std::size_t mask_ = 15;
  std::uint64_t* slots_;
};

// Calls visit(line, fields) for each whole record of `text`.
template <class Visit>
void for_each_record(std::string_view text, Visit visit) {
  for_each_line(text, [&](std::string_view line, long) {
    RecordFields fields;
    if (parse_record(line, fields)) visit(line, fields);
  });
}

// The lines of the entries in the old generation that have no final result
// yet, in either generation, and are not already in the current file.
std::string unresolved_in_old_generation(const std::string& path) {
  std::string old_text, current_text;
  if (read_whole_file(path + ".1", old_text) != 0) return {};
  read_whole_file(path, current_text);
  const std::size_t lines =
      static_cast<std::size_t>(std::count(old_text.begin(), old_text.end(), '\n') +
                               std::count(current_text.begin(), current_text.end(), '\n'));
  IdSet final(lines + 1), in_current(lines + 1), carried_ids(lines + 1);
  const auto note_final = [&](std::string_view, const RecordFields& r) {
    const std::string event = r.get("ev");
    if (event == "settled" || (event == "outcome" && r.get("result") != kUnknown)) final.insert(r.get("id"));
  };
  for_each_record(old_text, note_final);
  for_each_record(current_text, note_final);
  for_each_record(current_text, [&](std::string_view, const RecordFields& r) {
    if (r.get("ev") == "intent") in_current.insert(r.get("id"));
  });
  for_each_record(old_text, [&](std::string_view, const RecordFields& r) {
    const std::string id = r.get("id");
    if (r.get("ev") == "intent" && !final.contains(id) && !in_current.contains(id)) carried_ids.insert(id);
  });
  std::string carried;
  for_each_record(old_text, [&](std::string_view line, const RecordFields& r) {
    if (carried_ids.contains(r.get("id"))) (carried += line) += '\n';
  });
  return carried;
}

// Rotates the locked, full journal `fd`: what is unresolved in the old
// generation is copied into it first, so that dropping the old generation
// loses nothing. False when the journal could not be renamed.
bool rotate(const std::string& path, int fd) {
  const std::string carried = unresolved_in_old_generation(path);
  if (!carried.empty() && (!write_all(fd, carried) || ::fdatasync(fd) != 0)) return false;
  return ::rename(path.c_str(), (path + ".1").c_str()) == 0;
}

}  // namespace

std::uint32_t crc32(const void* data, std::size_t size) {
  static const auto table = [] {
    struct Table {
      std::uint32_t v[256];
    } t{};
    for (std::uint32_t n = 0; n < 256; ++n) t.v[n] = crc_table_entry(n);
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) crc = table.v[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

long long process_start_ticks(int pid) {
  std::string stat;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  if (read_whole_file(path, stat) != 0) return -1;
  // The name in parentheses may hold anything: fields count from its end.
  std::size_t at = stat.rfind(')');
  for (int field = 2; at != std::string::npos && field < 22; ++field) at = stat.find(' ', at + 1);
  if (at == std::string::npos) return -1;
  return std::strtoll(stat.c_str() + at + 1, nullptr, 10);
}

std::string boot_id() {
  std::string id;
  if (read_whole_file("/proc/sys/kernel/random/boot_id", id) != 0) return {};
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

std::string journal_time_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc;
  char text[32] = "";
  if (::gmtime_r(&now, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string journal_path_in(const std::string& dir) {
  return dir + "/journal.jsonl";
}

JournalRecord::JournalRecord(const char* event) : body_("{\"v\":1") {
  text("ev", event);
}

JournalRecord& JournalRecord::text(const char* key, std::string_view value) {
  body_ += ",\"";
  body_ += key;
  body_ += "\":";
  append_escaped(body_, value);
  return *this;
}

JournalRecord& JournalRecord::number(const char* key, long long value) {
  body_ += ",\"";
  body_ += key;
  char text[24];
  std::snprintf(text, sizeof text, "\":%lld", value);
  body_ += text;
  return *this;
}

JournalRecord& JournalRecord::flag(const char* key, bool value) {
  body_ += ",\"";
  body_ += key;
  body_ += value ? "\":true" : "\":false";
  return *this;
}

std::string JournalRecord::line() const {
  char check[16];
  std::snprintf(check, sizeof check, "%08x", static_cast<unsigned>(crc32(body_.data(), body_.size())));
  return body_ + std::string(kCheckHead) + check + "\"}";
}

bool parse_record(std::string_view line, RecordFields& out) {
  if (line.size() < kCheckSize + 2 || line.front() != '{') return false;
  const std::size_t body_size = line.size() - kCheckSize;
  if (line.substr(body_size, kCheckHead.size()) != kCheckHead || line.substr(line.size() - 2) != "\"}")
    return false;
  const std::string check(line.substr(body_size + kCheckHead.size(), 8));
  char* end = nullptr;
  const unsigned long written = std::strtoul(check.c_str(), &end, 16);
  if (*end != '\0' || written != crc32(line.data(), body_size)) return false;
  const std::string_view body = line.substr(0, body_size);
  if (!scan_fields(body, [](const std::string&, const std::string&) { return false; })) return false;
  out.body_ = std::string(body);
  return true;
}

std::string RecordFields::get(std::string_view key) const {
  std::string found;
  scan_fields(body_, [&](const std::string& k, const std::string& v) {
    if (k != key) return false;
    found = v;
    return true;
  });
  return found;
}

long long RecordFields::number(std::string_view key, long long otherwise) const {
  const std::string text = get(key);
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  return text.empty() || *end != '\0' ? otherwise : n;
}

int append_journal(const std::string& path, const std::string& line, bool durable, int& error) {
  const Deadline deadline = Deadline::in_ms(kLockWaitMs);
  for (int attempt = 0;; ++attempt) {
    bool created = false;
    UniqueFd fd = open_journal(path, created, error);
    if (!fd) return -1;
    std::string text;
    struct stat held, named;
    const bool locked = attempt < 3 && retry_until(deadline, 8, [&] {
                          return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
                        });
    if (locked && ::fstat(fd.get(), &held) == 0) {
      if (::lstat(path.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev)
        continue;  // rotated while this one waited
      if (held.st_size >= journal_limit_bytes && rotate(path, fd.get())) continue;
      char last = '\n';
      if (held.st_size > 0 && ::pread(fd.get(), &last, 1, held.st_size - 1) == 1 && last != '\n')
        text = "\n";  // after a torn line
    }
    text += line + "\n";
    const bool written = write_all(fd.get(), text) && (!durable || ::fdatasync(fd.get()) == 0);
    if (!written) error = errno;
    if (created) sync_directory_of(path);
    // Unlocked before closing: a child forked meanwhile keeps a copy of the
    // descriptor, and the lock would live on in it.
    ::flock(fd.get(), LOCK_UN);
    return written ? 0 : -1;
  }
}

}  // namespace zunra
