// The exchange against the simulated unit on a real pseudo-terminal: what
// goes on the wire, how replies are collected, deadlines, link loss, the
// driver log and the console lines.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "../support/driver_test.h"

namespace zunra::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// Milliseconds into the current wall-clock second.
long wall_fraction_ms() {
  return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch())
             .count() %
         1000;
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

TEST_F(ExchangeTest, SignalsEveryFewMillisecondsInterruptNoWait) {
  // A program with a timer or a child to reap gets signals during calls:
  // every wait they interrupt (lock pause, first bytes, pieces) goes on.
  struct sigaction quiet {
  }, old{};
  quiet.sa_handler = [](int) {};
  sigemptyset(&quiet.sa_mask);  // no SA_RESTART: poll() returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);
  std::atomic<bool> done{false};
  const pthread_t caller = ::pthread_self();
  std::thread signaller([&] {
    while (!done) {
      ::pthread_kill(caller, SIGUSR1);
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  sim::Script pieces;
  pieces.delay = milliseconds(60);
  pieces.chunk = 9;
  pieces.chunk_pause = milliseconds(20);
  unit().on_command(5, pieces);
  for (int session = 1; session <= 3; ++session) expect_verbatim(session);
  done = true;
  signaller.join();
  ::sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(ExchangeTest, BytesQueuedBeforeTheCallAreNeverItsReply) {
  // The unit answers after the deadline: its late reply waits in the line
  // when the caller tries the same session again.
  T_Cons[1] = 2;
  sim::Script late;
  late.delay = milliseconds(400);
  unit().on_command(5, late, 1);
  EXPECT_STREQ(ConsultarSAT(5), "000005|08098|SAT em processamento. Tente novamente.||");
  std::this_thread::sleep_for(milliseconds(700));  // the late reply is written by now
  ASSERT_EQ(unit().replies().size(), 1u);

  sim::Script fresh;
  fresh.canned = "{session}|08000|resposta desta chamada||";
  unit().on_command(5, fresh, 1);
  T_Cons[1] = 40;
  EXPECT_STREQ(ConsultarSAT(5), "000005|08000|resposta desta chamada||");
}

TEST_F(ExchangeTest, SilentUnitGetsTheFallbackAtTheDeadlineMeasuredOnTheMonotonicClock) {
  // Real seconds, and the deadline set (after the lock's 100 ms) just before
  // a wall-clock second turns: one taken from whole seconds would expire at once.
  use_real_seconds();
  T_Cons[1] = 1;
  unit().on_command(5, sim::Act::Silent);
  while (wall_fraction_ms() < 820 || wall_fraction_ms() > 860) std::this_thread::sleep_for(milliseconds(2));
  const auto start = Clock::now();
  const int before = tick();
  EXPECT_STREQ(ConsultarSAT(123), "000123|08098|SAT em processamento. Tente novamente.||");
  EXPECT_GE(elapsed_ms(start), 1050);
  EXPECT_LT(elapsed_ms(start), 3000);
  EXPECT_GE(Tempo_Tout, before + 1);  // still whole seconds from tick()
  EXPECT_LE(Tempo_Tout, before + 2);
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
  // The unit lets the driver take its 10 bytes (up to 1 s) before it drops
  // the line; well short of the 4 s a wait for the deadline would take.
  EXPECT_LT(elapsed_ms(start), 3300);
  const std::string printed = out.finish();
  EXPECT_NE(printed.find("RecebeDoSat: Erro ao receber dados do SAT(1)\n"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("SAT(2)"), std::string::npos) << printed;
}

TEST_F(ExchangeTest, DebugLogAndConsoleLinesFollowTheirSwitches) {
  // Both off (built-in): nothing printed, no log file.
  {
    StdoutCapture out;
    ConsultarSAT(123);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(::access((dir() + "/lib_zunra_dorvex.log").c_str(), F_OK), -1);
  }
  debug_on();
  console_on();
  StdoutCapture out;
  const std::string reply = ConsultarSAT(123);
  const std::string printed = out.finish();
  EXPECT_EQ(printed.rfind("le_usb -> bytes: ", 0), 0u) << printed;
  EXPECT_NE(printed.find("le_usb -> bytes lidos: "), std::string::npos) << printed;

  // The log lives in the settings directory, one timestamped line per step, in
  // order; of the read steps only the one that took the reply is compared.
  EXPECT_EQ(read_file(dir() + "/lib_zunra_dorvex.log").substr(19, 2), ": ");
  const std::string n = std::to_string(reply.size() + 1), took = "le_usb - bytes lidos: " + n + " de " + n;
  std::vector<std::string> steps;
  for (const std::string& line : driver_log_lines())
    if (line.rfind("le_usb - bytes", 0) != 0 || line == took) steps.push_back(line);
  EXPECT_EQ(steps, (std::vector<std::string>{
                       "ConsultarSAT: 000123", "EnviarParaSat: inicio do envio ...",
                       "Abrindo comunicacao com: " + unit().path(), "EnviarParaSat: final do envio. ",
                       "RecebeDoSat: inicio da recepção ...", took, "RecebeDoSat: final da recepção. ",
                       "Resposta de ConsultarSAT: " + reply}));
}

TEST_F(ExchangeTest, ReplyIsPickedUpAsSoonAsItArrives) {
  // A read step that finds nothing waits for bytes instead of sleeping a fixed 50 ms.
  long fastest = 1000;
  for (int i = 0; i < 5; ++i) {
    set_deadline(T_Cons);
    char frame[] = "|05|000123";
    const auto start = Clock::now();
    ASSERT_EQ(EnviaParaSat(frame), 0);
    ASSERT_EQ(RecebeDoSat2(123), 0);
    fastest = std::min(fastest, elapsed_ms(start));
  }
  EXPECT_LT(fastest, 40);
}

TEST_F(ExchangeTest, LongFramesGoOutWholeAndBoundedByTheDeadline) {
  // The device is opened close-on-exec.
  set_deadline(T_Cons);
  char probe[] = "|05|000001";
  ASSERT_EQ(EnviaParaSat(probe), 0);
  EXPECT_TRUE(::fcntl(fdUSB, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(RecebeDoSat2(1), 0);

  // Close to the frame buffer's size: every byte arrives, nothing flushed away.
  const std::string big(kFrameCapacity - 40, 'x');
  TesteFimAFim(9, "12345678", big.c_str());
  ASSERT_TRUE(unit().wait_for_frames(2, milliseconds(5000)));
  EXPECT_EQ(unit().frames().back(), "|06|000009|12345678|" + big);

  // One byte past the frame buffer: nothing is sent, the fallback comes at once.
  const std::string too_big(kFrameCapacity - std::strlen("|06|000010|12345678|"), 'y');
  auto start = Clock::now();
  EXPECT_STREQ(TesteFimAFim(10, "12345678", too_big.c_str()),
               "000010|09098|SAT em processamento. Tente novamente.||");
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(unit().frames().size(), 2u);

  // A unit that stops taking bytes cannot hold the call past its deadline.
  unit().stop_reading();
  console_on();
  T_Fim[1] = 20;  // 1 s at the test scale
  StdoutCapture out;
  start = Clock::now();
  EXPECT_STREQ(TesteFimAFim(11, "12345678", big.c_str()),
               "000011|09098|SAT em processamento. Tente novamente.||");
  EXPECT_LT(elapsed_ms(start), 4000);
  EXPECT_EQ(out.finish(), "EnviaparaSat: (TX) Perda de comunicação com o SAT.\n");
}

TEST_F(ExchangeTest, RepliesFillTheBufferToTheLastByteAndNoFurther) {
  use_real_seconds();
  T_Logs[1] = 30;
  // Text plus terminator take 3,145,727 bytes: with the NUL, the whole buffer.
  sim::Script canned;
  const std::string head = "{session}|15000|";
  canned.canned = head + std::string(kReplyCapacity - 2 - (head.size() - 3), 'L');
  unit().on_command(12, canned, 1);
  std::string reply = ExtrairLogs(42, "12345678");
  EXPECT_EQ(reply.size(), kReplyCapacity - 2);
  EXPECT_EQ(reply.substr(0, 13), "000042|15000|");

  // One byte more can never complete: the fallback, without writing past BC.
  canned.canned += "L";
  unit().on_command(12, canned, 1);
  const auto start = Clock::now();
  EXPECT_STREQ(ExtrairLogs(43, "12345678"), "000043|15098|SAT em processamento. Tente novamente.||");
  EXPECT_LT(elapsed_ms(start), 10000);

  // A reply trickling in for longer than a read step's 2 s budget still completes.
  sim::Script slow;
  slow.chunk = 6;
  slow.chunk_pause = milliseconds(500);
  unit().on_command(5, slow, 1);
  T_Cons[1] = 10;
  expect_verbatim(44);
}

}  // namespace
}  // namespace zunra::test
