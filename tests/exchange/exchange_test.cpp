// The exchange against the simulated unit on a real pseudo-terminal: what
// goes on the wire, how replies are collected, deadlines, link loss, the
// driver log and the console lines.
#include "../support/driver_test.h"

#include <fcntl.h>

#include <chrono>
#include <thread>

namespace zunra::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

sim::Script scripted(sim::Act act) {
  sim::Script s;
  s.act = act;
  return s;
}

class ExchangeTest : public DriverTest {
 protected:
  // The caller gets exactly what the unit sent last.
  void expect_verbatim(int session) {
    const std::string got = ConsultarSAT(session);
    const auto replies = unit().replies();
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(got, replies.back());
  }
};

TEST_F(ExchangeTest, RepliesArriveWholeWhateverTheirShape) {
  // In pieces with pauses: appended until the terminator.
  sim::Script pieces;
  pieces.chunk = 7;
  pieces.chunk_pause = milliseconds(30);
  unit().on_command(5, pieces, 1);
  expect_verbatim(123);

  // Another session's reply first: dropped (and logged), the matching one taken.
  debug_on();
  sim::Script wrong;
  wrong.wrong_session_first = true;
  unit().on_command(5, wrong, 1);
  expect_verbatim(123);
  EXPECT_EQ(std::string(BC.data, 6), "000123");
  const auto log = driver_log_lines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "   .........   ......... "), 1);
}

TEST_F(ExchangeTest, SilentUnitGetsTheFallbackAtTheDeadlineMeasuredOnTheMonotonicClock) {
  // Real seconds. Start just before a wall-clock second turns: a deadline
  // taken from the whole-second clock would expire almost at once.
  use_real_seconds();
  T_Cons[0] = 0;
  T_Cons[1] = 1;
  unit().on_command(5, scripted(sim::Act::Silent));
  while (mili_tick() % 1000 < 900) std::this_thread::sleep_for(milliseconds(5));
  const auto start = Clock::now();
  const int before = tick();
  EXPECT_STREQ(ConsultarSAT(123), "000123|08098|SAT em processamento. Tente novamente.||");
  const long took = elapsed_ms(start);
  EXPECT_GE(Tempo_Tout, before + 1);
  EXPECT_LE(Tempo_Tout, before + 2);
  EXPECT_GE(took, 1000);  // 100 ms lock + 1 s deadline
  EXPECT_LT(took, 3000);
}

TEST_F(ExchangeTest, ZeroPairStillSendsTheFrameThenFallsBack) {
  T_Cons[0] = T_Cons[1] = 0;
  console_on();
  StdoutCapture out;
  EXPECT_STREQ(ConsultarSAT(7), "000007|08098|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(out.finish(), "RecebeDoSat: Erro ao receber dados do SAT(2)\n");
  ASSERT_TRUE(unit().wait_for_frames(1, milliseconds(2000)));
  EXPECT_EQ(unit().raw(), on_wire("|05|000007"));
}

TEST_F(ExchangeTest, HangUpIsLinkLossNotAWaitForTheDeadline) {
  use_real_seconds();  // T_Cons 4 s: a spin until the deadline would show
  console_on();
  sim::Script drop;
  drop.hang_up_after = 10;
  unit().on_command(5, drop);
  StdoutCapture out;
  const auto start = Clock::now();
  EXPECT_STREQ(ConsultarSAT(5), "000005|08098|SAT em processamento. Tente novamente.||");
  EXPECT_LT(elapsed_ms(start), 2000);
  const std::string printed = out.finish();
  EXPECT_NE(printed.find("RecebeDoSat: Erro ao receber dados do SAT(1)\n"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("SAT(2)"), std::string::npos) << printed;

  // The pts is gone: the next call fails to open, at once.
  StdoutCapture out2;
  const auto again = Clock::now();
  EXPECT_STREQ(ConsultarSAT(6), "000006|08098|SAT em processamento. Tente novamente.||");
  EXPECT_LT(elapsed_ms(again), 1000);
  const std::string path = serial_path().text;
  EXPECT_EQ(out2.finish(), "init_usb: Falha ao tentar abrir o dispositivo " + path +
                              "\nEnviaParaSat: Falha ao configurar a interface " + path + "\n");
  EXPECT_EQ(fdUSB, -1);
}

}  // namespace
}  // namespace zunra::test
