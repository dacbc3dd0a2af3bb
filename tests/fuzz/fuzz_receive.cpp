// The receive path against a simulated unit that answers with fuzzed bytes:
// any length up to 60 KiB, any split and pacing, garbage
// around the reply, a hang-up anywhere. Whatever arrives, the call returns
// within its deadline with either its fallback reply or a text of the
// caller's session that the unit really sent.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exchange.h"
#include "fuzz_support.h"
#include "settings.h"
#include "sim_unit.h"

using namespace zunra::fuzz;
using zunra::sim::Act;
using zunra::sim::Script;
using zunra::sim::SimUnit;

namespace {

constexpr int kSecondMs = 4;  // one second of a timeout pair

void setup_once() {
  static bool done = false;
  if (done) return;
  done = true;
  static const std::string dir = scratch_path("dir");
  std::system(("mkdir -p " + dir).c_str());
  ::setenv("ZUNRA_SAT_DIR", dir.c_str(), 1);
  zunra::store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "true");
  zunra::store_text(SAT_DEBUG, sizeof SAT_DEBUG, "false");
  ModoDebug = 0;
  ModoLock = 0;  // no 100 ms lock pause per input
  zunra::deadline_second_ms = kSecondMs;
}

int session_of(const char* reply) {
  char head[7] = {};
  std::memcpy(head, reply, strnlen(reply, 6));
  return std::atoi(head);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setup_once();
  Input in(data, size);
  const std::uint8_t flags = in.byte();
  const int session = (in.byte() << 12 | in.byte() << 4 | in.byte()) % 1000000;
  Script s(Act::Answer);
  s.chunk = in.byte() % 64;
  s.chunk_pause = std::chrono::milliseconds(s.chunk ? in.byte() % 3 : 0);
  if (flags & 0x01) s.hang_up_after = in.byte();
  if (flags & 0x02) s.wrong_session_first = true;
  s.garbage_before = in.until('\0');
  std::string body = in.until('\0');
  // The unit always ends on a terminator: a read step that holds part of a
  // reply waits up to 2 s for the rest (within the deadline + 3 s bound),
  // which would starve the fuzzer without finding anything new.
  s.garbage_after = in.rest() + '\x03';
  if (flags & 0x04) body = "{session}" + body;  // help the fuzzer past the session match
  if (flags & 0x08)
    body.resize(std::max<std::size_t>(body.size(), (flags >> 4) * 4096u), 'A');  // long replies
  // Paced replies stay short: a read step goes on up to 2 s while bytes keep
  // coming, also past the deadline, and that much time finds nothing new.
  if (s.chunk_pause.count() > 0 && body.size() > 2048) body.resize(2048);
  if (body.empty()) body = "x";  // an empty canned text means "process normally"
  s.canned = body;

  SimUnit unit;
  zunra::store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit.path().c_str());
  unit.on_command(5, s);
  T_Cons[0] = 0;
  T_Cons[1] = 5;

  const auto start = std::chrono::steady_clock::now();
  const char* reply = ConsultarSAT(session);
  const auto took = std::chrono::steady_clock::now() - start;

  FUZZ_CHECK(reply == BC.data);
  const std::size_t length = strnlen(reply, zunra::kReplyCapacity);
  FUZZ_CHECK(length < zunra::kReplyCapacity);
  // The deadline plus room for a slow machine under the sanitizers.
  FUZZ_CHECK(took < std::chrono::milliseconds(T_Cons[1] * kSecondMs + 3000));

  char fallback[80];
  std::snprintf(fallback, sizeof fallback, "%06d|08098|SAT em processamento. Tente novamente.||", session);
  if (std::strcmp(reply, fallback) == 0) return 0;
  FUZZ_CHECK(session_of(reply) == session);
  // What the unit put on the line for this frame, in order.
  const std::vector<std::string> sent = unit.replies();
  std::string stream = s.garbage_before;
  if (s.wrong_session_first && !sent.empty()) {
    char other[8];
    std::snprintf(other, sizeof other, "%06d", (session + 1) % 1000000);
    const std::size_t bar = sent.front().find('|');
    stream += other + (bar == std::string::npos ? std::string() : sent.front().substr(bar)) + '\x03';
  }
  for (const std::string& r : sent) stream += r + '\x03';
  stream += s.garbage_after;
  FUZZ_CHECK(stream.find(std::string(reply, length)) != std::string::npos);
  return 0;
}
