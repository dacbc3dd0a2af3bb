// Random fault schedules for sales and cancellations. Whatever the unit does
// with each frame, it never carries a session's sale or cancellation out
// twice; and once it has, the caller gets the unit's reply whenever a later
// frame of the call was answered in time (an attempt remained to ask).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "driver_test.h"

namespace zunra::test {
namespace {

using namespace std::chrono_literals;
using sim::Act;

TEST(RecoveryProperty, NoDuplicateAndTheReplyWheneverTheUnitCouldBeAsked) {
  const int kSchedules = 300;
  std::mt19937 random(20261206);
  int duplicates = 0, told_failure = 0;
  for (int session = 1; session <= kSchedules; ++session) {
    DriverEnvironment env;
    NumTent = 1 + static_cast<int>(random() % 4);
    TmpTent = ModoLock = 0;
    for (int* pair : {T_Venda, T_Canc, T_Sessao}) pair[0] = 0, pair[1] = 2;  // 100 ms
    const int code = random() % 3 ? 3 : 4;
    char document[] = "<CFe></CFe>";
    if (code == 4) EnviarDadosVenda(999, "12345678", document);  // the receipt to cancel
    const std::size_t before = env.unit().frames().size();

    // Answer (in time, late, after a reply of another session), busy, carry
    // out and drop, silent, hang up; frames after the schedule are answered.
    // The unit answers in order: after a late reply nothing is in time.
    const Act acts[] = {Act::Answer,          Act::Answer, Act::Answer, Act::Answer,
                        Act::Answer,          Act::Busy,   Act::Busy,   Act::ProcessThenDrop,
                        Act::ProcessThenDrop, Act::Silent, Act::Silent, Act::HangUp};
    std::vector<sim::Script> schedule(8);
    std::vector<std::pair<bool, bool>> carries_out_in_time;
    bool lagging = false;
    for (sim::Script& s : schedule) {
      const unsigned pick = random() % 12;
      s.act = acts[pick];
      s.delay = pick == 3 ? 250ms : 0ms;
      s.wrong_session_first = pick == 4;
      carries_out_in_time.emplace_back(pick < 5 || s.act == Act::ProcessThenDrop,
                                       !lagging && pick < 5 && pick != 3);
      lagging |= pick == 3;
    }
    carries_out_in_time.emplace_back(true, !lagging);
    env.unit().schedule(schedule);
    std::string reply =
        code == 3 ? EnviarDadosVenda(session, "12345678", document)
                  : CancelarUltimaVenda(session, "12345678", env.unit().last_sale_key().c_str(), "");
    // A reply that lagged behind may arrive with the next one (text 0x03 text): the first counts.
    reply.resize(std::min(reply.size(), reply.find('\x03')));

    const int carried_out = env.unit().processed(code, session);
    duplicates += carried_out > 1;
    if (carried_out != 1) continue;
    told_failure += reply != env.unit().stored_reply(session);
    // The frame that carried it out, then any frame answered in time after it.
    const std::vector<std::string> frames = env.unit().frames();
    auto at = [&](std::size_t i) { return carries_out_in_time[std::min(i - before, schedule.size())]; };
    std::size_t done = before;
    while (done < frames.size() && (frames[done][2] != '0' + code || !at(done).first)) ++done;
    bool asked = false;
    for (std::size_t j = done + 1; j < frames.size(); ++j) asked |= at(j).second;
    if (asked) {
      EXPECT_EQ(reply, env.unit().stored_reply(session)) << "schedule " << session;
    }
  }
  EXPECT_EQ(duplicates, 0);
  std::printf("schedules run: %d, duplicates: %d, carried out but caller told failure: %d\n", kSchedules,
              duplicates, told_failure);
}

}  // namespace
}  // namespace zunra::test
