// The exchange against the simulated unit on a real pseudo-terminal.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "../support/driver_test.h"

namespace zunra::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
const char kBusy[] = "|SAT em processamento. Tente novamente.||";

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

class ExchangeTest : public DriverTest {};
void expect_verbatim(const sim::SimUnit& unit, int session) {
  const std::string got = ConsultarSAT(session);  // before the unit's replies are read
  EXPECT_EQ(got, unit.replies().back());
}

TEST_F(ExchangeTest, RepliesInPiecesAfterAnotherSessionsAreTakenWholeUnderSignals) {
  struct sigaction quiet = {}, old = {};
  quiet.sa_handler = [](int) {};  // no SA_RESTART: poll() returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);
  std::atomic<bool> done{false};
  const pthread_t caller = ::pthread_self();
  std::thread signaller([&] {
    for (; !done; std::this_thread::sleep_for(milliseconds(2))) ::pthread_kill(caller, SIGUSR1);
  });
  sim::Script pieces;  // another session's reply first, dropped
  pieces.wrong_session_first = true;
  pieces.delay = milliseconds(60);
  pieces.chunk = 9;
  pieces.chunk_pause = milliseconds(20);
  unit().on_command(5, pieces);
  for (int session = 1; session <= 3; ++session) expect_verbatim(unit(), session);
  done = true;
  signaller.join();
  ::sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(ExchangeTest, BytesQueuedBeforeTheCallAreNeverItsReply) {
  T_Cons[1] = 2;  // the unit's reply comes after the deadline, and waits in the line
  sim::Script late;
  late.delay = milliseconds(400);
  unit().on_command(5, late, 1);
  EXPECT_EQ(std::string(ConsultarSAT(5)), "000005|08098" + std::string(kBusy));
  std::this_thread::sleep_for(milliseconds(700));
  ASSERT_EQ(unit().replies().size(), 1u);
  sim::Script fresh;
  fresh.canned = "{session}|08000|resposta desta chamada||";
  unit().on_command(5, fresh, 1);
  T_Cons[1] = 40;
  EXPECT_STREQ(ConsultarSAT(5), "000005|08000|resposta desta chamada||");
}

TEST_F(ExchangeTest, SilentOrLostUnitFallsBackAtTheMonotonicDeadline) {
  // Set just before a wall-clock second turns: a deadline of whole seconds would expire at once.
  use_real_seconds();
  T_Cons[1] = 1;
  unit().on_command(5, sim::Act::Silent, 1);
  auto wall_ms = [] { return std::chrono::system_clock::now().time_since_epoch() / milliseconds(1) % 1000; };
  while (wall_ms() < 820 || wall_ms() > 860) std::this_thread::sleep_for(milliseconds(2));
  auto start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(123)), "000123|08098" + std::string(kBusy));
  EXPECT_GE(elapsed_ms(start), 1050);
  EXPECT_LT(elapsed_ms(start), 3000);

  // A hang-up is link loss, not a wait for the 4 s deadline.
  T_Cons[1] = 4;
  console_on();
  sim::Script drop;
  drop.hang_up_after = 10;
  unit().on_command(5, drop);
  StdoutCapture out;
  start = Clock::now();
  EXPECT_EQ(std::string(ConsultarSAT(5)), "000005|08098" + std::string(kBusy));
  EXPECT_LT(elapsed_ms(start), 3300);
  const std::string printed = out.finish();
  EXPECT_NE(printed.find("RecebeDoSat: Erro ao receber dados do SAT(1)\n"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("SAT(2)"), std::string::npos) << printed;
}

TEST_F(ExchangeTest, ReplyIsPickedUpAsSoonAsItArrivesAndLongFramesGoOutWhole) {
  long fastest = 1000;  // a read step waits for bytes, not a fixed 50 ms
  for (int i = 0; i < 5; ++i) {
    set_deadline(T_Cons);
    char frame[] = "|05|000123";
    const auto start = Clock::now();
    ASSERT_EQ(EnviaParaSat(frame), 0);
    EXPECT_TRUE(::fcntl(fdUSB, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(RecebeDoSat2(123), 0);
    fastest = std::min(fastest, elapsed_ms(start));
  }
  EXPECT_LT(fastest, 40);
  // Close to the frame buffer's size: every byte arrives. One past it: nothing sent.
  const std::string big(kFrameCapacity - 40, 'x');
  TesteFimAFim(9, "12345678", big.c_str());
  ASSERT_TRUE(unit().wait_for_frames(6, milliseconds(5000)));
  EXPECT_EQ(unit().frames().back(), "|06|000009|12345678|" + big);
  const std::string too_big(kFrameCapacity - std::strlen("|06|000010|12345678|"), 'y');
  auto start = Clock::now();
  EXPECT_EQ(std::string(TesteFimAFim(10, "12345678", too_big.c_str())), "000010|09098" + std::string(kBusy));
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(unit().frames().size(), 6u);

  // A unit that stops taking bytes cannot hold the call past its deadline.
  unit().stop_reading();
  console_on();
  T_Fim[1] = 20;
  StdoutCapture out;
  start = Clock::now();
  EXPECT_EQ(std::string(TesteFimAFim(11, "12345678", big.c_str())), "000011|09098" + std::string(kBusy));
  EXPECT_LT(elapsed_ms(start), 4000);
  EXPECT_EQ(out.finish(), "EnviaparaSat: (TX) Perda de comunicação com o SAT.\n");
}

TEST_F(ExchangeTest, RepliesFillTheBufferToTheLastByteAndNoFurther) {
  use_real_seconds();
  T_Logs[1] = 30;
  sim::Script canned;  // text plus terminator: with the NUL, the whole buffer
  const std::string head = "{session}|15000|";
  canned.canned = head + std::string(kReplyCapacity - 2 - (head.size() - 3), 'L');
  unit().on_command(12, canned, 1);
  std::string reply = ExtrairLogs(42, "12345678");
  EXPECT_EQ(reply.size(), kReplyCapacity - 2);
  EXPECT_EQ(reply.substr(0, 13), "000042|15000|");
  canned.canned += "L";  // one byte more can never complete
  unit().on_command(12, canned, 1);
  EXPECT_EQ(std::string(ExtrairLogs(43, "12345678")), "000043|15098" + std::string(kBusy));
  // A reply trickling in for longer than a read step's 2 s budget still completes.
  sim::Script slow;
  slow.chunk = 6;
  slow.chunk_pause = milliseconds(500);
  unit().on_command(5, slow, 1);
  T_Cons[1] = 10;
  expect_verbatim(unit(), 44);
}

// With debugging on, a device that cannot be opened is logged with the
// system's reason right after the line that names it.
TEST_F(ExchangeTest, AFailedOpenIsLoggedWithTheSystemsReason) {
  ModoDebug = 1;
  for (const auto& [path, reason] :
       {std::pair<std::string, std::string>{"/dev/zunra_nao_existe", std::strerror(ENOENT)},
        {"/dev/null/unit", std::strerror(ENOTDIR)}}) {
    store_text(SAT_SERIAL, sizeof SAT_SERIAL, path.c_str());
    ConsultarSAT(1);
    const std::vector<std::string> lines = driver_log_lines();
    const auto failed = std::find(lines.begin(), lines.end(), "Falha ao configurar a interface " + path);
    ASSERT_NE(failed, lines.end()) << path;
    ASSERT_NE(failed + 1, lines.end());
    EXPECT_EQ(failed[1], "Motivo da falha: " + reason);
  }
}

}  // namespace
}  // namespace zunra::test
