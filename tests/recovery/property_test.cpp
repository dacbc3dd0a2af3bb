// Random fault schedules for sales and cancellations: never carried out twice,
// and once carried out, the unit's reply whenever a later frame was answered in time.
#include <algorithm>
#include <random>

#include "driver_test.h"

namespace zunra::test {
namespace {

using sim::Act;
using std::chrono::milliseconds;

struct Outcome {
  int carried_out;
  bool told_failure, could_ask;
};

Outcome run(int session, int second_ms) {
  std::mt19937 random(20261206 + session);
  DriverEnvironment env;
  deadline_second_ms = second_ms;
  NumTent = 1 + static_cast<int>(random() % 4);
  const int code = random() % 3 ? 3 : 4;
  TmpTent = ModoLock = 0;
  for (int* pair : {T_Venda, T_Canc, T_Sessao}) pair[0] = 0, pair[1] = 2;
  char document[] = "<CFe></CFe>";
  if (code == 4) EnviarDadosVenda(999, "12345678", document);  // the receipt to cancel
  const std::size_t before = env.unit().frames().size();
  // Answer (in time, late, after another session's), busy, carry out and drop,
  // silent, hang up; then answered. After a late reply nothing is in time.
  const Act acts[] = {Act::Answer,          Act::Answer, Act::Answer, Act::Answer,
                      Act::Answer,          Act::Busy,   Act::Busy,   Act::ProcessThenDrop,
                      Act::ProcessThenDrop, Act::Silent, Act::Silent, Act::HangUp};
  std::vector<sim::Script> schedule;
  std::vector<std::pair<bool, bool>> carries_out_in_time;
  bool lagging = false;
  for (int i = 0; i < 8; ++i) {
    const unsigned pick = random() % 12;
    sim::Script& script = schedule.emplace_back(acts[pick]);
    script.delay = pick == 3 ? milliseconds(5 * second_ms) : milliseconds(0);  // two and a half deadlines
    script.wrong_session_first = pick == 4;
    carries_out_in_time.emplace_back(pick < 5 || script.act == Act::ProcessThenDrop,
                                     !lagging && pick < 5 && pick != 3);
    lagging |= pick == 3;
  }
  carries_out_in_time.emplace_back(true, !lagging);
  env.unit().schedule(schedule);
  std::string reply = code == 3
                          ? EnviarDadosVenda(session, "12345678", document)
                          : CancelarUltimaVenda(session, "12345678", env.unit().last_sale_key().c_str(), "");
  // A lagging reply may arrive with the next (text 0x03 text): the first counts.
  reply.resize(std::min(reply.size(), reply.find('\x03')));
  Outcome out{env.unit().processed(code, session), reply != env.unit().stored_reply(session), false};
  if (out.carried_out != 1) return out;
  const std::vector<std::string> frames = env.unit().frames();
  auto at = [&](std::size_t i) { return carries_out_in_time[std::min(i - before, schedule.size())]; };
  std::size_t done = before;
  while (done < frames.size() && (frames[done][2] != '0' + code || !at(done).first)) ++done;
  for (std::size_t j = done + 1; j < frames.size(); ++j) out.could_ask |= at(j).second;
  return out;
}

TEST(RecoveryProperty, NoDuplicateAndTheReplyWheneverTheUnitCouldBeAsked) {
  for (int session = 1; session <= 300; ++session) {
    Outcome out = run(session, kTestSecondMs);
    // "In time" assumes answers beat a 100 ms deadline: a miss is judged again with 1 s.
    if (out.could_ask && out.told_failure) out = run(session, 10 * kTestSecondMs);
    EXPECT_LE(out.carried_out, 1) << "schedule " << session;
    EXPECT_FALSE(out.could_ask && out.told_failure) << "schedule " << session;
  }
}

}  // namespace
}  // namespace zunra::test
