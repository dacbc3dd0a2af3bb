// The receive path against fuzzed replies (up to 60 KiB, any split, pacing,
// garbage, hang-up) and sessions also beyond six digits and below zero: the
// call ends within its deadline with the fallback or a text that starts
// with its own session field and that the unit really sent.
#include <chrono>

#include "exchange.h"
#include "fuzz_support.h"
#include "settings.h"
#include "sim_unit.h"

using namespace zunra::fuzz;
using namespace std::chrono;

namespace {

constexpr int kSecondMs = 4;  // one second of a timeout pair

std::string six(int session) {
  char text[16];
  std::snprintf(text, sizeof text, "%06d", session);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  [[maybe_unused]] static const bool once = [] {
    static const std::string dir = scratch_path("dir");
    std::system(("mkdir -p " + dir).c_str());
    ::setenv("ZUNRA_SAT_DIR", dir.c_str(), 1);
    zunra::store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "true");
    zunra::store_text(SAT_DEBUG, sizeof SAT_DEBUG, "false");
    ModoDebug = ModoLock = 0;  // no 100 ms lock pause per input
    zunra::deadline_second_ms = kSecondMs;
    return true;
  }();
  Input in(data, size);
  const std::uint8_t flags = in.byte();
  const int session = (in.byte() << 12 | in.byte() << 4 | in.byte()) - 20000;  // -20000 to 1064703
  zunra::sim::Script s(zunra::sim::Act::Answer);
  s.chunk = in.byte() % 64;
  s.chunk_pause = milliseconds(s.chunk ? in.byte() % 3 : 0);
  if (flags & 0x01) s.hang_up_after = in.byte();
  s.wrong_session_first = flags & 0x02;
  s.garbage_before = in.until('\0');
  std::string body = in.until('\0');
  // Always a final terminator: a partial reply would wait 2 s and find nothing new.
  s.garbage_after = in.rest() + '\x03';
  if (flags & 0x04) body = "{session}" + body;  // help the fuzzer past the session match
  if (flags & 0x08) body.resize(std::max<std::size_t>(body.size(), (flags >> 4) * 4096u), 'A');
  // Paced replies stay short, for the same reason.
  if (s.chunk_pause.count() > 0 && body.size() > 2048) body.resize(2048);
  s.canned = body.empty() ? "x" : body;  // an empty canned text means "process normally"

  zunra::sim::SimUnit unit;
  zunra::store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit.path().c_str());
  unit.on_command(5, s);
  T_Cons[0] = 0;
  T_Cons[1] = 5;
  const auto start = steady_clock::now();
  const char* reply = ConsultarSAT(session);
  FUZZ_CHECK(steady_clock::now() - start < milliseconds(T_Cons[1] * kSecondMs + 3000));
  FUZZ_CHECK(std::strcmp(reply, BC.data) == 0);
  const std::string got(reply, strnlen(reply, zunra::kReplyCapacity));
  FUZZ_CHECK(got.size() < zunra::kReplyCapacity);
  if (got == six(session) + "|08098|SAT em processamento. Tente novamente.||") return 0;  // the fallback
  FUZZ_CHECK(got.compare(0, six(session).size() + 1, six(session) + "|") == 0);

  const std::vector<std::string> sent = unit.replies();
  std::string stream = s.garbage_before;
  if (s.wrong_session_first && !sent.empty()) {  // the same reply under the next session first
    const bool six_digits = session >= 0 && session <= 999999;
    stream += (six_digits ? six((session + 1) % 1000000) : "999999") +
              sent.front().substr(std::min(sent.front().find('|'), sent.front().size())) + '\x03';
  }
  for (const std::string& r : sent) stream += r + '\x03';
  FUZZ_CHECK((stream + s.garbage_after).find(got) != std::string::npos);
  return 0;
}
