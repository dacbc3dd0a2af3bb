// Sales, cancellations and session queries against the simulated unit: the
// attempts each schedule of faults leads to, and what the caller is told.
#include "driver_test.h"

#include <algorithm>
#include <chrono>

namespace zunra::test {
namespace {

using sim::Act;
using sim::Script;

const char kCode[] = "12345678";
const char kSaleFallback[] = "000123|06098|0000|SAT em processamento. Tente novamente.||";
Script act(Act a) {
  Script s;
  s.act = a;
  return s;
}
Script canned(std::string text) {
  Script s;
  s.canned = std::move(text);
  return s;
}
// Busy answers the driver could not have written itself.
const Script kSaleBusy = canned("{session}|06098|0000|Atualizando||");
const Script kCancelBusy = canned("{session}|07098|a|b|c|d|e|f|g|h|i");

// The command codes of the frames the unit received: "03 08 03".
std::string codes(const sim::SimUnit& unit) {
  std::string out;
  for (const std::string& f : unit.frames()) out += (out.empty() ? "" : " ") + f.substr(1, 2);
  return out;
}

bool logged(const std::string& line) {
  const auto lines = driver_log_lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void short_pairs(int tries) {
  NumTent = tries;
  TmpTent = 0;
  for (int* pair : {T_Venda, T_Canc, T_Sessao, T_SessaoFiscal}) pair[0] = 0, pair[1] = 4;
}

class RecoveryTest : public DriverTest {};

TEST(Recovery, SaleAttemptsFollowTheStateTable) {
  enum Expect { fallback, stored, last_reply };
  struct Case {
    const char* what;
    int tries;
    std::vector<Script> schedule;
    const char* frames;
    Expect result;
  } const cases[] = {
      {"silent unit", 3, {act(Act::Silent), act(Act::Silent), act(Act::Silent)}, "03 08 08", fallback},
      {"reply lost, query finds the receipt", 3, {act(Act::ProcessThenDrop)}, "03 08", stored},
      {"busy first: direct retransmissions", 3, {kSaleBusy, kSaleBusy}, "03 03 03", stored},
      {"query finds nothing: resent in the same attempt", 2, {act(Act::Silent)}, "03 08 03", stored},
      {"query busy on the last attempt", 2, {act(Act::Silent), act(Act::Busy)}, "03 08", last_reply},
      {"one attempt, busy", 1, {kSaleBusy}, "03", last_reply},
      {"busy then reply lost: asks before resending", 3, {kSaleBusy, act(Act::ProcessThenDrop)}, "03 03 08", stored},
      {"busy after a query: asks again", 3, {act(Act::Silent), act(Act::Answer), kSaleBusy}, "03 08 03 08 03", stored},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DriverEnvironment env;
    short_pairs(c.tries);
    ModoDebug = 1;
    env.unit().schedule(c.schedule);
    char document[] = "<CFe></CFe>";
    const std::string reply = EnviarDadosVenda(123, kCode, document);
    EXPECT_EQ(codes(env.unit()), c.frames);
    EXPECT_LE(env.unit().processed(3, 123), 1);
    EXPECT_EQ(reply, c.result == fallback ? kSaleFallback
                     : c.result == stored ? env.unit().stored_reply(123)
                                          : env.unit().replies().back());
    if (c.result == stored) {
      EXPECT_EQ(reply.substr(6, 7), "|06000|");
    }
    if (std::string(c.frames) == "03 08" && c.result == stored) {
      EXPECT_TRUE(logged("Cupom ja foi gerado. Sessao: 000123|06"));
    }
  }
}

TEST_F(RecoveryTest, OversizedFramesAreNeverSent) {
  short_pairs(3);
  std::string huge(0x180000, 'x');
  EXPECT_EQ(std::string(EnviarDadosVenda(123, kCode, huge.data())), kSaleFallback);
  EXPECT_EQ(std::string(CancelarUltimaVenda(7, kCode, huge.c_str(), "")),
            "000007|07098|0000|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, huge.c_str(), 1)),
            "000005|11098|SAT em processamento. Tente novamente.||");
  EXPECT_FALSE(unit().wait_for_frames(1, std::chrono::milliseconds(200)));
  EXPECT_EQ(unit().raw(), "");
}

TEST_F(RecoveryTest, SaleDocumentIsCorrectedOnlyUnderTheSwitch) {
  short_pairs(1);
  char document[] = "<x>&#65;&#x42;</x>";
  EnviarDadosVenda(1, kCode, document);
  Corrigir = 1;
  EnviarDadosVenda(2, kCode, document);
  EXPECT_EQ(unit().frames(), (std::vector<std::string>{"|03|000001|12345678|<x>&#65;&#x42;</x>",
                                                       "|03|000002|12345678|<x>    A     B</x>"}));
}

TEST_F(RecoveryTest, CancellationGainsAFieldOnlyInItsOwnElevenFieldReply) {
  const std::string ten = "{session}|07000|0000|ok|||a|b|c|d|", tail(3000, 'T');
  auto cancel = [&](int tries, std::vector<Script> schedule, sim::SimUnit::Options options = {}) {
    sim::SimUnit& u = restart_unit(options);
    short_pairs(tries);
    char document[] = "<CFe></CFe>";
    EnviarDadosVenda(1, kCode, document);  // something to cancel
    u.schedule(std::move(schedule));
    return std::string(CancelarUltimaVenda(123, kCode, u.last_sale_key().c_str(), "<Canc/>"));
  };
  EXPECT_EQ(cancel(1, {canned(ten + "g")}), "000123|07000|0000|ok|||a|b|c|d||g");
  EXPECT_EQ(cancel(1, {canned(ten + tail)}), "000123|07000|0000|ok|||a|b|c|d||" + tail);
  EXPECT_EQ(cancel(1, {canned(ten + "g|h")}), "000123|07000|0000|ok|||a|b|c|d|g|h");
  EXPECT_EQ(cancel(1, {canned("{session}|07000|0000|ok|||a|b|c|d")}), "000123|07000|0000|ok|||a|b|c|d");
  // The unit's own short reply, straight or found by the session query.
  sim::SimUnit::Options short_reply;
  short_reply.short_cancel_reply = true;
  const std::string straight = cancel(1, {}, short_reply);
  EXPECT_EQ(std::count(straight.begin(), straight.end(), '|'), 11) << straight;
  const std::string found = cancel(2, {act(Act::ProcessThenDrop)}, short_reply);
  EXPECT_EQ(codes(unit()), "03 04 08");
  EXPECT_EQ(found, unit().stored_reply(123));
  EXPECT_EQ(std::count(found.begin(), found.end(), '|'), 10);
  // Attempts run out on busy answers: the last one is returned as it came.
  ModoDebug = 1;
  EXPECT_EQ(cancel(2, {kCancelBusy, kCancelBusy}), "000123|07098|a|b|c|d|e|f|g|h|i");
  EXPECT_TRUE(logged("CancelaUltimaVenda -> cod_ret: 07098"));
}

TEST_F(RecoveryTest, SessionQueriesRetryFailuresAndBusyAnswers) {
  short_pairs(3);
  unit().schedule({act(Act::Busy)});
  const std::string answer = ConsultarNumeroSessao(5, kCode, 42);
  EXPECT_EQ(unit().frames(), (std::vector<std::string>{"|08|000005|12345678|000042", "|08|000005|12345678|000042"}));
  EXPECT_EQ(answer, unit().replies().back());
  EXPECT_NE(answer.find("|11003|"), std::string::npos);

  restart_unit().schedule({act(Act::Silent), act(Act::Silent), canned("{session}|19098|Atualizando||"),
                           canned("{session}|19098|Atualizando||")});
  NumTent = 2;
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)), "000005|11098|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(std::string(ConsultarUltimaSessaoFiscal(5, kCode)), "000005|19098|Atualizando||");
  EXPECT_EQ(unit().frames().back(), "|20|000005|12345678");
  EXPECT_EQ(unit().frames().size(), 4u);
}

}  // namespace
}  // namespace zunra::test
