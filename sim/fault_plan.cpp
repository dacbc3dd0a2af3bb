// The fault plans: which script a frame gets (the schedule first, then the
// rules by command code), and the output a script makes of the reply.
#include <cstdio>
#include <iterator>
#include <utility>

#include "sim_unit_impl.h"

namespace zunra::sim {
namespace {

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

}  // namespace

Script SimUnit::Impl::pick(int code) {
  if (!schedule.empty()) {
    Script s = std::move(schedule.front());
    schedule.pop_front();
    return s;
  }
  for (int wanted : {code, 0}) {
    for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
      if (it->code != wanted) continue;
      Script s = it->script;
      if (it->times > 0 && --it->times == 0) rules.erase(std::next(it).base());
      return s;
    }
  }
  return Script{};
}

std::string SimUnit::Impl::carry_out(const Frame& f) {
  // Counted even when the command then fails: it was carried out.
  if (keep_history && f.code >= 0) ++processed[{f.code, f.session}];
  return state.process(f);
}

void SimUnit::Impl::handle(const std::string& text) {
  const Frame f = parse_frame(text);
  Script s;
  std::string reply;
  std::size_t unit_rate;
  {
    std::lock_guard<std::mutex> g(mu);
    unit_rate = rate;
    ++frames_seen;
    if (keep_history) frames.push_back(text);
    s = pick(f.code);
    switch (s.act) {
      case Act::StopReading:
        reading = false;
        [[fallthrough]];
      case Act::Answer:
        if (!s.canned.empty())
          reply = replace_all(s.canned, "{session}", f.session_text);
        else
          reply = carry_out(f);
        break;
      case Act::ProcessThenDrop:
        carry_out(f);
        break;
      case Act::Busy:
        if (f.code >= 0) reply = busy_reply(f);
        break;
      case Act::Silent:
      case Act::HangUp:
        break;
    }
    if (!reply.empty() && keep_history) replies.push_back(reply);
  }
  changed.notify_all();

  auto gap = std::chrono::duration_cast<std::chrono::microseconds>(s.delay);
  if (s.act == Act::HangUp) {
    push(Piece{"", gap, true, 0});
    return;
  }
  if (reply.empty()) return;
  if (!s.garbage_before.empty()) {
    push_text(s.garbage_before, gap, Script{}, 0);
    gap = {};
  }
  if (s.wrong_session_first) {
    char other[24];
    std::snprintf(other, sizeof other, "%06d", f.session < 0 ? 999999 : (f.session + 1) % 1000000);
    const std::size_t bar = reply.find('|');
    push_text(other + (bar == std::string::npos ? std::string() : reply.substr(bar)) + '\x03', gap, s,
              unit_rate);
    gap = {};
  }
  std::string bytes = reply + '\x03';
  const bool cut = s.hang_up_after < bytes.size();
  if (cut) bytes.resize(s.hang_up_after);
  push_text(bytes, gap, s, unit_rate);
  if (cut) {
    push(Piece{"", {}, true, 0});
    return;
  }
  if (!s.garbage_after.empty()) push_text(s.garbage_after, {}, Script{}, 0);
}

void SimUnit::on_command(int code, Script script, int times) {
  if (times == 0) return;
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->rules.push_back(Rule{code, std::move(script), times});
}

void SimUnit::schedule(std::vector<Script> next_frames) {
  std::lock_guard<std::mutex> g(impl_->mu);
  for (auto& s : next_frames) impl_->schedule.push_back(std::move(s));
}

void SimUnit::clear_scripts() {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->rules.clear();
  impl_->schedule.clear();
}

}  // namespace zunra::sim
