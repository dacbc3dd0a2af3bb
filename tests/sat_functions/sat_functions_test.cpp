// The twelve single-exchange SAT functions: their frames on the wire, their
// replies, their fallback replies and the status-code rewrite.
#include <algorithm>
#include <chrono>
#include <functional>

#include "../support/driver_test.h"

namespace zunra::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Case {
  std::function<const char*(int)> call;  // called with the session number
  std::string frame;                     // as the unit receives it for session 123, trailer aside
  const char* failure;
};

// Null texts go out as empty fields.
const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {[](int s) { return AtivarSAT(s, 1, "12345678", "11222333000181", 35); },
       "|01|000123|1|12345678|11222333000181|35", "04098"},
      {[](int s) { return AtivarSAT(s, 2, "c", nullptr, 5); }, "|01|000123|2|c|| 5", "04098"},
      {[](int s) { return ComunicarCertificadoICPBRASIL(s, "12345678", "CERT"); }, "|02|000123|12345678|CERT",
       "05098"},
      {[](int s) { return ConsultarSAT(s); }, "|05|000123", "08098"},
      {[](int s) { return TesteFimAFim(s, "12345678", nullptr); }, "|06|000123|12345678|", "09098"},
      {[](int s) { return ConsultarStatusOperacional(s, "12345678"); }, "|07|000123|12345678", "10098"},
      {[](int s) { return ConfigurarInterfaceDeRede(s, "12345678", "<config/>"); },
       "|09|000123|12345678|<config/>", "12098"},
      {[](int s) { return AssociarAssinatura(s, "12345678", "111|222", "SIG"); },
       "|10|000123|12345678|111|222|SIG", "13098"},
      {[](int s) { return AtualizarSoftwareSAT(s, "12345678"); }, "|11|000123|12345678", "14098"},
      {[](int s) { return ExtrairLogs(s, "12345678"); }, "|12|000123|12345678|3.0.0.3_acm0_rpi", "15098"},
      {[](int s) { return BloquearSAT(s, nullptr); }, "|13|000123|", "16098"},
      {[](int s) { return DesbloquearSAT(s, "12345678"); }, "|14|000123|12345678", "17098"},
      {[](int s) { return TrocarCodigoDeAtivacao(s, "12345678", 1, "87654321", "87654321"); },
       "|15|000123|12345678|1|87654321|87654321", "18098"},
  };
  return all;
}

class SatFunctionsTest : public DriverTest {};

TEST_F(SatFunctionsTest, EachFunctionSendsItsFrameAndReturnsTheReplyVerbatimAtOnePlace) {
  std::string wire;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.frame);
    const char* reply = c.call(123);
    EXPECT_EQ(reply, BC.data);  // the same pointer from every call
    const auto replies = unit().replies();
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(reply, replies.back());
    wire += on_wire(c.frame);
  }
  // Every frame with its trailer, nothing between them.
  EXPECT_EQ(unit().raw(), wire);

  // ConsultarSAT with session 7, byte for byte.
  restart_unit();
  ConsultarSAT(7);
  EXPECT_EQ(unit().raw(), std::string("|05|000007|\x03", 12));
}

TEST_F(SatFunctionsTest, EachFunctionAnswersItsFallbackWhenTheUnitCannotBeReached) {
  auto expect_fallbacks = [](long at_most_ms) {
    for (const Case& c : cases()) {
      SCOPED_TRACE(c.frame);
      const auto start = Clock::now();
      EXPECT_EQ(std::string(c.call(123)),
                "000123|" + std::string(c.failure) + "|SAT em processamento. Tente novamente.||");
      EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(at_most_ms));
    }
  };
  // A silent unit: each function's own deadline (one second at the test scale, 50 ms).
  unit().on_command(0, sim::Act::Silent);
  for (const TimeoutSetting& t : kTimeouts) t.pair[0] = 0, t.pair[1] = 1;
  expect_fallbacks(1000);
  EXPECT_EQ(unit().frames().size(), cases().size());

  // No device: at once, at real seconds, where waiting for a deadline would show.
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, "/dev/zunra-no-such-unit");
  use_real_seconds();
  expect_fallbacks(1000);
}

TEST_F(SatFunctionsTest, StatusCode10099BecomesCode10001OnlyWhenAsked) {
  // Off: the unit's reply as it came. On: only that code of this function is
  // rewritten; other codes, a reply without any '|' and the driver's own
  // fallback stay as they are.
  const char* const cases[][3] = {
      // Ret10001, unit's reply, caller's reply
      {"0", "{session}|10099|Codigo invalido|0000|", "000123|10099|Codigo invalido|0000|"},
      {"1", "{session}|10099|Codigo invalido|0000|", "000123|10001|Codigo de ativacao invalido||"},
      {"1", "{session}|10000|ok", "000123|10000|ok"},
      {"1", "{session}10099", "00012310099"},
      {"1", nullptr, "000123|10098|SAT em processamento. Tente novamente.||"}};
  debug_on();
  for (const auto& c : cases) {
    Ret10001 = c[0][0] - '0';
    sim::Script canned;
    canned.canned = c[1] ? c[1] : "";
    if (!c[1]) store_text(SAT_SERIAL, sizeof SAT_SERIAL, "/dev/zunra-no-such-unit");
    unit().on_command(7, canned);
    EXPECT_STREQ(ConsultarStatusOperacional(123, "x"), c[2]);
  }
  const auto log = driver_log_lines();
  for (const char* line : {"ConsultarStatusOperacional -> cod_ret: 10099",
                           "ConsultarStatusOperacional: Substituindo retorno de 10099 para 10001 "})
    EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << line;
}

}  // namespace
}  // namespace zunra::test
