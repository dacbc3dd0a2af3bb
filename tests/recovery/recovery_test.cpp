// Sales, cancellations and session queries against a simulated unit under faults.

#include "driver_test.h"

namespace zunra::test {
namespace {

using sim::Act;
using sim::Script;

const char kCode[] = "12345678";
const char kSaleFallback[] = "000123|06098|0000|SAT em processamento. Tente novamente.||";

Script does(Act act, std::string canned = "") {
  Script s(act);
  s.canned = std::move(canned);
  return s;
}
const Script kSilent = does(Act::Silent), kDrop = does(Act::ProcessThenDrop);
const Script kSaleBusy = does(Act::Answer, "{session}|06098|0000|Atualizando||");

// Pairs of 400 ms: room for the unit's answers on a loaded machine.
void short_pairs(int tries) {
  NumTent = tries, TmpTent = 0;
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
      {3, {kSaleBusy, kSaleBusy}, "03 03 03", receipt},      // busy: resent at once
      {2, {kSilent}, "03 08 03", receipt},                   // not found: resent in the same attempt
      {2, {kSilent, does(Act::Busy)}, "03 08", last_reply},  // query busy on the last attempt
      {1, {kSaleBusy}, "03", last_reply},
      {3, {kSaleBusy, kDrop}, "03 03 08", receipt},  // a lost reply is always asked about
      {3, {kSilent, does(Act::Answer), kSaleBusy}, "03 08 03 08 03", receipt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    auto run = [&](int second_ms) {  // frames, right reply, times carried out
      DriverEnvironment env;
      deadline_second_ms = second_ms;
      short_pairs(c.tries);
      env.unit().schedule(c.schedule);
      char document[] = "<CFe></CFe>";
      const std::string reply = EnviarDadosVenda(123, kCode, document);
      std::string frames;
      for (const std::string& f : env.unit().frames()) frames += f.substr(1, 2) + " ";
      return std::tuple(frames,
                        reply == (c.result == fallback  ? kSaleFallback
                                  : c.result == receipt ? env.unit().stored_reply(123)
                                                        : env.unit().replies().back()),
                        env.unit().processed(3, 123));
    };
    const auto expected = std::tuple(c.frames + " ", true, int{c.result == receipt});
    auto got = run(kTestSecondMs);
    if (got != expected) got = run(10 * kTestSecondMs);  // an answer late on a busy machine
    EXPECT_EQ(got, expected);
  }
}

TEST(Recovery, OversizedDocumentsStaleSessionRepliesAndTheCancellationField) {
  DriverEnvironment env;
  short_pairs(1);
  std::string huge(0x180000, 'x');  // never sent
  EXPECT_EQ(std::string(EnviarDadosVenda(123, kCode, huge.data())), kSaleFallback);
  EXPECT_EQ(std::string(CancelarUltimaVenda(7, kCode, huge.c_str(), "")),
            "000007|07098|0000|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(env.unit().raw(), "");

  // A session query drops a late reply of an earlier request, then one of another session.
  char document[] = "<CFe></CFe>";
  const std::string sale = EnviarDadosVenda(42, kCode, document);
  Script late = does(Act::Answer), other = does(Act::Answer);
  late.garbage_before = std::string("000004|06000|0000|Emitido com sucesso||\x03");
  other.wrong_session_first = true;
  env.unit().schedule({late, other});
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)), sale);
  EXPECT_EQ(std::string(ConsultarNumeroSessao(5, kCode, 42)), sale);

  // Only a cancellation reply of eleven fields gains the empty one, however long.
  const std::string ten = "{session}|07000|0000|ok|||a|b|c|d|";
  for (const std::string& tail : {std::string(3000, 'T'), std::string("g|h")}) {
    env.unit().schedule({does(Act::Answer, ten + tail)});
    EXPECT_EQ(std::string(CancelarUltimaVenda(2, kCode, env.unit().last_sale_key().c_str(), "")),
              "000002|07000|0000|ok|||a|b|c|d|" + std::string(tail.size() == 3 ? "" : "|") + tail);
  }
}

}  // namespace
}  // namespace zunra::test
