// The single-exchange SAT functions: frames, replies, fallbacks, the 10099 rewrite.
#include <chrono>
#include <ctime>
#include <functional>

#include "../support/driver_test.h"

namespace zunra::test {
namespace {

struct Case {
  std::function<const char*(int)> call;
  std::string frame;  // for session 123; null texts go out as empty fields
  const char* failure;
  int* pair;  // its timeout pair
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {[](int s) { return AtivarSAT(s, 1, "12345678", "11222333000181", 35); },
       "|01|000123|1|12345678|11222333000181|35", "04098", T_Ativ},
      {[](int s) { return AtivarSAT(s, 2, "c", nullptr, 5); }, "|01|000123|2|c|| 5", "04098", T_Ativ},
      {[](int s) { return ComunicarCertificadoICPBRASIL(s, "12345678", "CERT"); }, "|02|000123|12345678|CERT",
       "05098", T_ICP},
      {[](int s) { return ConsultarSAT(s); }, "|05|000123", "08098", T_Cons},
      {[](int s) { return TesteFimAFim(s, "12345678", nullptr); }, "|06|000123|12345678|", "09098", T_Fim},
      {[](int s) { return ConsultarStatusOperacional(s, "12345678"); }, "|07|000123|12345678", "10098",
       T_Stat},
      {[](int s) { return ConfigurarInterfaceDeRede(s, "12345678", "<config/>"); },
       "|09|000123|12345678|<config/>", "12098", T_Rede},
      {[](int s) { return AssociarAssinatura(s, "12345678", "111|222", "SIG"); },
       "|10|000123|12345678|111|222|SIG", "13098", T_Assoc},
      {[](int s) { return AtualizarSoftwareSAT(s, "12345678"); }, "|11|000123|12345678", "14098", T_Atual},
      {[](int s) { return ExtrairLogs(s, "12345678"); }, "|12|000123|12345678|3.0.0.3_acm0_rpi", "15098",
       T_Logs},
      {[](int s) { return BloquearSAT(s, nullptr); }, "|13|000123|", "16098", T_Bloq},
      {[](int s) { return DesbloquearSAT(s, "12345678"); }, "|14|000123|12345678", "17098", T_Desbloq},
      {[](int s) { return TrocarCodigoDeAtivacao(s, "12345678", 1, "87654321", "87654321"); },
       "|15|000123|12345678|1|87654321|87654321", "18098", T_CodAtiv},
  };
  return all;
}

class SatFunctionsTest : public DriverTest {};

TEST_F(SatFunctionsTest, EachFunctionSendsItsFrameAndFallsBackWhenTheUnitCannotBeReached) {
  // Every pair its own length (k minutes and k seconds), so that a function
  // on another's pair shows in the deadline it set.
  int k = 0;
  for (const auto& [name, pair] : kTimeoutPairs) ++k, pair[0] = k, pair[1] = k;
  std::string wire;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.frame);
    const char* reply = c.call(123);
    const int seconds = Tempo_Tout - static_cast<int>(std::time(nullptr));
    EXPECT_EQ((seconds + 2) / 61, c.pair[1]) << seconds;
    EXPECT_STREQ(reply, BC.data);  // the caller's copy of the last exchange
    EXPECT_EQ(reply, unit().replies().back());
    wire += on_wire(c.frame);
  }
  EXPECT_EQ(unit().raw(), wire);  // every frame with its trailer, nothing between them

  // A silent unit: each function's own deadline (1 s at the test scale); then
  // no device: at once, in real seconds.
  unit().on_command(0, sim::Act::Silent);
  for (const Case& c : cases()) c.pair[0] = 0, c.pair[1] = 1;
  for (const char* device : {"", "/dev/zunra-no-such-unit"}) {
    if (*device) store_text(SAT_SERIAL, sizeof SAT_SERIAL, device), use_real_seconds();
    for (const Case& c : cases()) {
      SCOPED_TRACE(c.frame);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(std::string(c.call(123)),
                "000123|" + std::string(c.failure) + "|SAT em processamento. Tente novamente.||");
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    }
  }
  EXPECT_EQ(unit().frames().size(), 2 * cases().size());
}

TEST_F(SatFunctionsTest, StatusCode10099BecomesCode10001OnlyWhenAsked) {
  // Only that code is rewritten, only when asked: not other codes or the
  // driver's own fallback. {Ret10001, unit's, caller's}
  const char* const cases[][3] = {
      {"0", "{session}|10099|Codigo invalido|0000|", "000123|10099|Codigo invalido|0000|"},
      {"1", "{session}|10099|Codigo invalido|0000|", "000123|10001|Codigo de ativacao invalido||"},
      {"1", "{session}|10000|ok", "000123|10000|ok"},
      {"1", nullptr, "000123|10098|SAT em processamento. Tente novamente.||"}};
  for (const auto& c : cases) {
    Ret10001 = c[0][0] - '0';
    sim::Script canned;
    canned.canned = c[1] ? c[1] : "";
    if (!c[1]) store_text(SAT_SERIAL, sizeof SAT_SERIAL, "/dev/zunra-no-such-unit");
    unit().on_command(7, canned);
    EXPECT_STREQ(ConsultarStatusOperacional(123, "x"), c[2]);
  }
}

}  // namespace
}  // namespace zunra::test
