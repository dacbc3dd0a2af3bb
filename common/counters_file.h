// The counters file's format, shared by the library that writes it and the
// programs that read it (sat_status, sat_cli): a 64-byte header with a
// magic and a version, then the counts, all 64-bit words updated with
// atomic operations. A reader maps it read-only and takes each word
// atomically; it never changes the file.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace zunra::counters {

// The SAT functions, in the order of their command codes.
inline constexpr int kFunctions = 16;
extern const char* const kFunctionNames[kFunctions];

// How a call ended: the unit's reply by the class of its return code, or the
// driver's fallback reply by the reason the exchange failed.
enum class Outcome : std::uint8_t {
  success,     // return code ending in 000
  unit_error,  // any other code of the unit
  unit_busy,   // the unit's own "in processing" answer (code ending in 098)
  // Fallback replies:
  no_device,
  permission_denied,
  not_a_terminal,
  held_by_another_process,
  lock_file_unavailable,
  frame_refused,  // too large for its buffer, or an argument holding 0x03: nothing was sent
  send_timed_out,
  no_reply,
  hang_up,
  reply_too_large,
};
inline constexpr int kOutcomes = 13;
inline constexpr int kFirstFallback = static_cast<int>(Outcome::no_device);

struct OutcomeName {
  const char* label;  // for scripts and metrics
  const char* text;   // for the technician
};
extern const OutcomeName kOutcomeNames[kOutcomes];

// What a session query made by recovery (after a failed exchange of a sale
// or a cancellation) found.
enum class Finding : std::uint8_t { issued, not_issued, busy, no_answer };
inline constexpr int kFindings = 4;
extern const OutcomeName kFindingNames[kFindings];

// The counts, all 64-bit words. The file holds a header and then these.
struct Values {
  std::uint64_t calls[kFunctions][kOutcomes];
  std::uint64_t attempts[kFunctions];
  std::uint64_t busy_retries[kFunctions];  // attempts that followed the unit's busy answer
  std::uint64_t recovery_queries[kFindings];
  std::uint64_t lock_waits;  // calls that found the unit's device lock taken
  std::uint64_t lock_wait_us_total;
  std::uint64_t lock_wait_us_longest;
  std::uint64_t bytes_sent;
  std::uint64_t bytes_received;
  // The longest call: milliseconds taken (bits 36-63), the milliseconds its
  // deadlines and pauses allowed (bits 8-35) and its function (bits 0-7).
  std::uint64_t longest_call;
  // The last fallback: wall-clock seconds (bits 32-63), PID (bits 10-31),
  // function (bits 5-9) and outcome (bits 0-4); 0 before the first. Its
  // detail, written just before it: PID (bits 32-63) and detail (bits 0-31).
  std::uint64_t last_fallback;
  std::uint64_t last_fallback_detail;
};

// Unpacked last fallback and longest call. `pid` is the process whose call
// it was; `detail` says more for some reasons: the PID that held the unit,
// or the seconds a silent unit was waited for.
struct LastFallback {
  bool any;
  std::int64_t time;
  int function;
  Outcome outcome;
  int pid;
  std::int64_t detail;
};
LastFallback last_fallback_of(const Values& v);
struct LongestCall {
  std::int64_t ms, bound_ms;
  int function;  // -1: no call yet
};
LongestCall longest_call_of(const Values& v);

// The file: the header, then the counts.
inline constexpr char kMagic[8] = {'Z', 'S', 'A', 'T', 'C', 'N', 'T', '\0'};
inline constexpr std::uint32_t kVersion = 2;
struct Header {
  char magic[8];
  std::uint32_t version, size, functions, outcomes, findings, reserved;
  std::uint8_t spare[32];
};
struct Layout {
  Header header;
  Values values;
};
static_assert(sizeof(Header) == 64 && sizeof(Values) % 8 == 0);

bool header_is_ours(const Header& h);
void make_header(Header& h);

// One mapping of a counters file; unmapped when dropped.
class Mapping {
 public:
  Mapping() = default;
  Mapping(int fd, bool writable);
  Mapping(Mapping&& other) noexcept : layout_(std::exchange(other.layout_, nullptr)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    std::swap(layout_, other.layout_);
    return *this;
  }
  ~Mapping() {
    if (layout_) ::munmap(layout_, sizeof(Layout));
  }
  Layout* layout() const { return layout_; }
  explicit operator bool() const { return layout_ != nullptr; }

 private:
  Layout* layout_ = nullptr;
};

// <dir>/zunra_sat_counters
std::string counters_file_in(const std::string& dir);

// Reads the counters file at `path` without changing it. False, with `why`
// saying so, when it is missing or is not a counters file of this version.
bool read_counters(const std::string& path, Values& out, std::string& why);

}  // namespace zunra::counters
