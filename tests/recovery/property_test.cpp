// Random fault schedules for sales and cancellations. Whatever the unit does
// with each frame, it never carries a session's sale or cancellation out
// twice; and once it has, the caller gets the unit's reply whenever a later
// frame of the call was answered in time (an attempt remained to ask).
#include "driver_test.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

namespace zunra::test {
namespace {

using namespace std::chrono_literals;
using sim::Act;
using sim::Script;

constexpr int kSchedules = 300;

TEST(RecoveryProperty, NoDuplicateAndTheReplyWheneverTheUnitCouldBeAsked) {
  std::mt19937 random(20261206);
  int duplicates = 0, told_failure = 0;
  for (int run = 1; run <= kSchedules; ++run) {
    DriverEnvironment env;
    NumTent = 1 + static_cast<int>(random() % 4);
    TmpTent = 0;
    ModoLock = 0;
    for (int* pair : {T_Venda, T_Canc, T_Sessao}) pair[0] = 0, pair[1] = 2;  // 100 ms
    const bool sale = random() % 3 != 0;
    char document[] = "<CFe></CFe>";
    if (!sale) EnviarDadosVenda(999, "12345678", document);  // the receipt to cancel
    const std::size_t before = env.unit().frames().size();

    // Per frame: answer (in time, late, after a reply of another session),
    // busy, carry out and drop, silent, hang up. Later frames are answered.
    std::vector<Script> schedule;
    std::vector<bool> in_time;  // the unit answers in order: after a late reply nothing is in time
    bool lagging = false;
    for (int i = 0; i < 8; ++i) {
      Script s;
      switch (random() % 12) {
        case 0: case 1: case 2: break;
        case 3: s.delay = 250ms; break;
        case 4: s.wrong_session_first = true; break;
        case 5: case 6: s.act = Act::Busy; break;
        case 7: case 8: s.act = Act::ProcessThenDrop; break;
        case 9: case 10: s.act = Act::Silent; break;
        default: s.act = Act::HangUp; break;
      }
      in_time.push_back(!lagging && s.act == Act::Answer && s.delay == 0ms);
      lagging |= s.delay > 0ms;
      schedule.push_back(s);
    }
    in_time.push_back(!lagging);  // frames after the schedule
    env.unit().schedule(schedule);
    const int session = run;
    // A reply that lagged behind may arrive together with the next one
    // (text, 0x03, text): what counts is the first.
    std::string reply =
        sale ? EnviarDadosVenda(session, "12345678", document)
             : CancelarUltimaVenda(session, "12345678", env.unit().last_sale_key().c_str(), "<C/>");

    reply.resize(std::min(reply.size(), reply.find('\x03')));
    const int code = sale ? 3 : 4;
    const int carried_out = env.unit().processed(code, session);
    duplicates += carried_out > 1;
    if (carried_out != 1) continue;
    told_failure += reply != env.unit().stored_reply(session);
    // The frame that carried it out, then any frame answered in time after it.
    const std::vector<std::string> frames = env.unit().frames();
    auto carried_out_by = [&](std::size_t i) {
      const Act a = i - before < schedule.size() ? schedule[i - before].act : Act::Answer;
      return std::stoi(frames[i].substr(1, 2)) == code && (a == Act::Answer || a == Act::ProcessThenDrop);
    };
    std::size_t done = before;
    while (done < frames.size() && !carried_out_by(done)) ++done;
    bool asked = false;
    for (std::size_t j = done + 1; j < frames.size(); ++j) asked |= in_time[std::min(j - before, schedule.size())];
    if (asked) {
      EXPECT_EQ(reply, env.unit().stored_reply(session)) << "schedule " << run;
    }
  }
  EXPECT_EQ(duplicates, 0);
  std::printf("schedules run: %d, duplicates: %d, carried out but caller told failure: %d\n", kSchedules,
              duplicates, told_failure);
}

}  // namespace
}  // namespace zunra::test
