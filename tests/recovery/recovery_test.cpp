// Sales, cancellations and session queries against the simulated unit: the
// frames each schedule of faults leads to, and what the caller is told.
#include <algorithm>
#include <tuple>

#include "driver_test.h"

namespace zunra::test {
namespace {

using sim::Act;
using sim::Script;

const char kCode[] = "12345678";
const char kSaleFallback[] = "000123|06098|0000|SAT em processamento. Tente novamente.||";

// A canned reply is one the driver could not have written itself.
Script does(Act act, std::string canned = "") {
  Script s;
  s.act = act;
  s.canned = std::move(canned);
  return s;
}
const Script kSilent = does(Act::Silent), kDrop = does(Act::ProcessThenDrop);
const Script kSaleBusy = does(Act::Answer, "{session}|06098|0000|Atualizando||");

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

// Pairs of 8 test seconds (400 ms): room for the unit's answers on a loaded machine.
void short_pairs(int tries) {
  NumTent = tries;
  TmpTent = 0;
  ModoDebug = 1;
  for (int* pair : {T_Venda, T_Canc, T_Sessao, T_SessaoFiscal}) pair[0] = 0, pair[1] = 8;
}

TEST(Recovery, SaleAttemptsFollowTheStateTable) {
  enum Expect { fallback, receipt, last_reply };
  const struct {
    int tries;
    std::vector<Script> schedule;
    std::string frames;
    Expect result;
  } cases[] = {
      {3, {kSilent, kSilent, kSilent}, "03 08 08", fallback},
      {3, {kDrop}, "03 08", receipt},                        // the query finds the receipt
      {3, {kSaleBusy, kSaleBusy}, "03 03 03", receipt},      // busy: resent at once
      {2, {kSilent}, "03 08 03", receipt},                   // not found: resent in the same attempt
      {2, {kSilent, does(Act::Busy)}, "03 08", last_reply},  // query busy on the last attempt
      {1, {kSaleBusy}, "03", last_reply},
      {3, {kSaleBusy, kDrop}, "03 03 08", receipt},  // a lost reply is always asked about
      {3, {kSilent, does(Act::Answer), kSaleBusy}, "03 08 03 08 03", receipt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    auto run = [&](int second_ms) {  // frames, right reply, times carried out, "found" logged
      DriverEnvironment env;
      deadline_second_ms = second_ms;
      short_pairs(c.tries);
      env.unit().schedule(c.schedule);
      char document[] = "<CFe></CFe>";
      const std::string reply = EnviarDadosVenda(123, kCode, document);
      return std::tuple(codes(env.unit()),
                        reply == (c.result == fallback  ? kSaleFallback
                                  : c.result == receipt ? env.unit().stored_reply(123)
                                                        : env.unit().replies().back()),
                        env.unit().processed(3, 123), logged("Cupom ja foi gerado. Sessao: 000123|06"));
    };
    const auto expected =
        std::tuple(c.frames, true, int{c.result == receipt}, c.result == receipt && c.frames.back() == '8');
    // A mismatch may be an answer that missed its deadline on a busy machine:
    // judged again with ten times the deadlines.
    auto got = run(kTestSecondMs);
    if (got != expected) got = run(10 * kTestSecondMs);
    EXPECT_EQ(got, expected);
  }
}

TEST(Recovery, OversizedDocumentsAreNeverSentAndTheSwitchCorrects) {
  DriverEnvironment env;
  short_pairs(3);
  std::string huge(0x180000, 'x');
  EXPECT_EQ(std::string(EnviarDadosVenda(123, kCode, huge.data())), kSaleFallback);
  EXPECT_EQ(std::string(CancelarUltimaVenda(7, kCode, huge.c_str(), "")),
            "000007|07098|0000|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(env.unit().raw(), "");

  char document[] = "<x>&#65;&#x42;&#x7C;&#3;</x>";
  EnviarDadosVenda(1, kCode, document);
  Corrigir = 1;
  EnviarDadosVenda(2, kCode, document);
  EXPECT_EQ(env.unit().frames(),
            (std::vector<std::string>{"|03|000001|12345678|<x>&#65;&#x42;&#x7C;&#3;</x>",
                                      "|03|000002|12345678|<x>    A     B&#x7C;&#3;</x>"}));
}

TEST(Recovery, CancellationGainsAFieldOnlyInItsOwnElevenFieldReply) {
  DriverEnvironment env;
  auto cancel = [&](int tries, std::vector<Script> schedule, bool short_reply = false) {
    sim::SimUnit::Options options;
    options.short_cancel_reply = short_reply;
    sim::SimUnit& unit = env.restart_unit(options);
    short_pairs(tries);
    char document[] = "<CFe></CFe>";
    EnviarDadosVenda(1, kCode, document);  // something to cancel
    unit.schedule(std::move(schedule));
    const std::string reply = CancelarUltimaVenda(123, kCode, unit.last_sale_key().c_str(), "<Canc/>");
    const std::string sent = unit.replies().back();
    return std::count(reply.begin(), reply.end(), '|') - std::count(sent.begin(), sent.end(), '|');
  };
  const std::string ten = "{session}|07000|0000|ok|||a|b|c|d|";
  EXPECT_EQ(cancel(1, {does(Act::Answer, ten + std::string(3000, 'T'))}), 1);
  EXPECT_EQ(std::string(BC.data), "000123|07000|0000|ok|||a|b|c|d||" + std::string(3000, 'T'));
  EXPECT_EQ(cancel(1, {does(Act::Answer, ten + "g|h")}), 0);
  EXPECT_EQ(cancel(1, {does(Act::Answer, "{session}|07000|0000|ok|||a|b|c|d")}), 0);
  EXPECT_EQ(cancel(1, {}, true), 1);       // the unit's own short reply
  EXPECT_EQ(cancel(2, {kDrop}, true), 0);  // the same, found by the query
  EXPECT_EQ(codes(env.unit()), "03 04 08");
  const Script busy = does(Act::Answer, "{session}|07098|a|b|c|d|e|f|g|h|i");
  EXPECT_EQ(cancel(2, {busy, busy}), 0);  // attempts run out
  EXPECT_TRUE(logged("CancelaUltimaVenda -> cod_ret: 07098"));
}

TEST(Recovery, SessionQueryTakesOnlyItsOwnOrTheAskedSessionsReply) {
  DriverEnvironment env;
  short_pairs(1);
  char document[] = "<CFe></CFe>";
  const std::string sale = EnviarDadosVenda(42, kCode, document);
  ASSERT_EQ(sale.substr(0, 13), "000042|06000|");

  // A late reply of an earlier request, then one of another session, each
  // ahead of the unit's stored answer for session 42.
  Script late = does(Act::Answer);
  late.garbage_before = std::string("000004|06000|0000|Emitido com sucesso||\x03");
  Script other = does(Act::Answer);
  other.wrong_session_first = true;
  env.unit().schedule({late, other});
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)), sale);
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)), sale);
  // Nothing stored for 77: the unit's answer carries the call's own session.
  EXPECT_EQ(std::string(ConsultarNumeroSessao(6, kCode, 77)).substr(0, 7), "000006|");
  // The last fiscal session's stored reply carries that session's number.
  EXPECT_EQ(std::string(ConsultarUltimaSessaoFiscal(7, kCode)), sale);
}

TEST(Recovery, SessionQueriesRetryFailuresAndBusyAnswers) {
  DriverEnvironment env;
  short_pairs(2);
  const Script updating = does(Act::Answer, "{session}|19098|Atualizando||");
  env.unit().schedule({does(Act::Busy), does(Act::Answer), kSilent, kSilent, updating, updating});
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)).substr(0, 13), "000005|11003|");
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)),
            "000005|11098|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(std::string(ConsultarUltimaSessaoFiscal(5, kCode)), "000005|19098|Atualizando||");
  const std::vector<std::string> frames = env.unit().frames();
  EXPECT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames.front(), "|08|000005|12345678|000042");
  EXPECT_EQ(frames.back(), "|20|000005|12345678");
}

}  // namespace
}  // namespace zunra::test
