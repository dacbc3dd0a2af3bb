// Fault soak: sales and cancellations through randomized fault schedules of
// the simulated unit (silence, answer-then-drop, busy, wrong session first,
// chunking, rate limits, hang-up, stop-reading, delays). Each schedule runs
// in a child process so that a crash or a hang is counted, not fatal.
//
//   fault_soak [--schedules N] [--minutes M] [--seed S] [--first K] [--json FILE] [--callers 2] [--kill]
//
// Prints schedules run, calls, duplicates processed by the unit (must be 0),
// calls the unit carried out while the caller was told failure, the longest
// call against its bound, crashes and hangs.
//
// With --callers 2 a second program shares the unit during each schedule,
// as a technician's sat_cli does during a sale: it asks ConsultarSAT and
// ConsultarStatusOperacional over and over until the sale and cancellation
// are done. The faults then hit only the sale's, cancellation's and session
// query's frames (the unit stopping to read is left out: it would silence the
// other program as well). Also printed: replies that were not the caller's
// own, and calls of the second program that fell back although the unit was
// there (both must be 0).
//
// With --kill the sale and cancellation run in a till process of their own,
// with the fiscal journal on, which is killed with SIGKILL at a random
// moment of the schedule. The faults are then lifted and sat_journal
// --resolve settles what the journal left open. Also printed: sales and
// cancellations left open by a kill, those settled to what the unit really
// did (must be all), settled wrongly (must be 0), left unknown (must be 0),
// and journal entries anywhere that disagree with the unit (must be 0).
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <random>

#include "bench_support.h"
#include "journal.h"
#include "journal_reading.h"

using namespace zunra;
using namespace zunra::bench;
using sim::Act;
using sim::Script;

namespace {

constexpr int kSecondMs = 20;  // one second of a timeout pair, shortened
constexpr char kCode[] = "12345678";
constexpr char kSale[] =
    "<CFe><infCFe versao=\"0.08\"><ide><CNPJ>16716114000172</CNPJ></ide><dest><CPF>11122233396</CPF></dest>"
    "<det nItem=\"1\"><prod><xProd>Cafe</xProd></prod></det><total><vCFe>5.00</vCFe></total></infCFe></CFe>";

// What one schedule reports back to the parent.
struct Outcome {
  int calls = 0;
  int duplicates = 0;  // the unit carried out one session's command twice
  int processed_but_told_failure = 0;
  int told_success_not_processed = 0;
  double longest_ms = 0;
  double longest_bound_ms = 0;
  double worst_ratio = 0;   // call time / its bound
  int not_own = 0;          // a reply that does not carry the caller's session
  int fell_back_other = 0;  // second program: fallback while the unit was there
  int second_calls = 0;     // calls of the second program, also in `calls`
  // --kill
  int kills = 0;            // tills killed before they were done
  int open_after_kill = 0;  // entries without a known result before settling
  int settled_right = 0, settled_wrong = 0, left_unknown = 0;
  int journal_wrong = 0;  // any entry (or a carried-out call without one) against the unit's truth

  void add_counts(const Outcome& o) {
    for (int Outcome::*count :
         {&Outcome::calls, &Outcome::duplicates, &Outcome::processed_but_told_failure,
          &Outcome::told_success_not_processed, &Outcome::not_own, &Outcome::fell_back_other,
          &Outcome::second_calls, &Outcome::kills, &Outcome::open_after_kill, &Outcome::settled_right,
          &Outcome::settled_wrong, &Outcome::left_unknown, &Outcome::journal_wrong})
      this->*count += o.*count;
  }
};

int g_callers = 1;
bool g_kill = false;

Script random_script(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const Act acts[] = {Act::Answer,          Act::Answer, Act::Answer, Act::Busy,       Act::Busy,
                             Act::ProcessThenDrop, Act::Silent, Act::HangUp, Act::StopReading};
  Script s(acts[pick(static_cast<int>(sizeof acts / sizeof acts[0]))]);
  // With --kill the unit must stay to be asked: a line closed by the unit
  // would leave its pseudo-terminal's number to whichever program takes it next.
  if (g_kill && s.act == Act::HangUp) s.act = Act::Silent;
  if (pick(4) == 0) s.delay = std::chrono::milliseconds(pick(80));
  if (pick(5) == 0) s.wrong_session_first = true;
  if (pick(4) == 0) {
    s.chunk = 1 + pick(200);
    s.chunk_pause = std::chrono::milliseconds(pick(15));
  }
  if (pick(6) == 0) s.bytes_per_second = 20000 + pick(200000);
  if (s.act == Act::Answer && pick(12) == 0 && !g_kill) s.hang_up_after = pick(120);
  if (pick(10) == 0)
    s.garbage_before =
        "\x03"
        "999999|junk";
  return s;
}

// Longest a call may take: each exchange it can make (per attempt the
// command and a session query) its deadline + 3 s (a read step that holds
// part of a reply goes on up to 2 s while bytes keep coming, also past the
// deadline; opening the device and the lock take the rest), plus the pauses
// between attempts.
double bound_ms(const int pair[2], int attempts) {
  const double exchange = (pair[0] * 60 + pair[1]) * kSecondMs + 3000.0;
  const double query = (T_Sessao[0] * 60 + T_Sessao[1]) * kSecondMs + 3000.0;
  return attempts * (exchange + query) + (attempts - 1) * TmpTent * 1000.0;
}

bool own_reply(const char* reply, int session) {
  char head[16];
  std::snprintf(head, sizeof head, "%06d|", session);
  return std::strncmp(reply, head, std::strlen(head)) == 0;
}

// The second program: a child that calls until the parent closes the pipe,
// reporting one byte per call: 'o' its own reply, 'n' a reply that is not
// its own, 'f' its fallback reply.
int g_stop_fd = -1, g_report_fd = -1;

pid_t start_second_program(Outcome& out) {
  int stop[2], report[2];
  if (::pipe(stop) != 0) return -1;
  if (::pipe(report) != 0) {
    ::close(stop[0]), ::close(stop[1]);
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid != 0) {
    ::close(stop[0]), ::close(report[1]);
    g_stop_fd = stop[1], g_report_fd = report[0];
    if (pid < 0) ++out.fell_back_other;  // could not run it: counted, not hidden
    return pid;
  }
  ::close(stop[1]), ::close(report[0]);
  std::mt19937 rng(static_cast<unsigned>(::getpid()));
  for (int session = 950000;; ++session) {
    const std::string reply =
        session % 2 ? ConsultarSAT(session) : ConsultarStatusOperacional(session, kCode);
    const char result = !own_reply(reply.c_str(), session)                        ? 'n'
                        : reply.find("SAT em processamento") != std::string::npos ? 'f'
                                                                                  : 'o';
    if (::write(report[1], &result, 1) != 1) break;
    pollfd p{stop[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(rng() % 20)) != 0) break;  // the parent is done
  }
  ::_exit(0);
}

// Stops the second program (a call still waiting after 500 ms is cut off
// and not counted) and adds up what it reported. Its fallbacks count only
// while the unit kept its line: after a hang-up they are the unit's doing.
void finish_second_program(pid_t pid, Outcome& out, bool unit_hung_up) {
  ::close(g_stop_fd);
  int status = 0;
  for (int i = 0; i < 50 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) pause_ms(10);
  if (::kill(pid, SIGKILL) == 0) ::waitpid(pid, &status, 0);
  char results[4096];
  ssize_t n;
  while ((n = ::read(g_report_fd, results, sizeof results)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      ++out.calls;
      ++out.second_calls;
      if (results[i] == 'n') ++out.not_own;
      if (results[i] == 'f' && !unit_hung_up) ++out.fell_back_other;
    }
  }
  ::close(g_report_fd);
}

// What the unit did with a session: issued ("06000"/"07000") or not.
bool unit_issued(sim::SimUnit& unit, int session) {
  const std::string stored = unit.stored_reply(session);
  return stored.size() > 12 && (stored.compare(6, 7, "|06000|") == 0 || stored.compare(6, 7, "|07000|") == 0);
}

// The till: the sale, then the cancellation of the receipt its reply names
// (field 8, the access key).
void till_calls(int sale_session) {
  std::string sale(kSale);
  std::string key = EnviarDadosVenda(sale_session, kCode, &sale[0]);
  for (int bar = 0; bar < 8 && !key.empty(); ++bar) key.erase(0, std::min(key.size(), key.find('|') + 1));
  key = key.substr(0, key.find('|'));
  if (key.empty()) return;
  const std::string doc = "<CFeCanc><infCFe chCanc=\"" + key + "\"></infCFe></CFeCanc>";
  CancelarUltimaVenda(sale_session + 1, kCode, key.c_str(), doc.c_str());
}

// Runs the sale and cancellation in a till process killed at a random
// moment, settles the journal with sat_journal and holds it against the unit.
void judge_killed_till(DriverSetup& setup, int sale_session, std::mt19937& rng, Outcome& out) {
  change_setting(journal_on, 1);
  std::ofstream(setup.dir() + "/sat.ini") << "[DEFAULT]\nSERIAL=" << setup.unit().path()
                                          << "\nN_TENT=01\n[TIMEOUT]\nT_CONSULTAR_NUMERO_SESSAO=00:30\n";
  const pid_t till = ::fork();
  if (till == 0) {
    till_calls(sale_session);
    ::_exit(0);
  }
  const int kill_after_ms = static_cast<int>(rng() % 400);
  int status = 0;
  const Deadline kill_at = Deadline::in_ms(kill_after_ms);
  while (!kill_at.passed() && ::waitpid(till, &status, WNOHANG) == 0)
    pause_ms(std::min<std::int64_t>(5, kill_at.remaining_ms()));
  if (::kill(till, SIGKILL) == 0 && ::waitpid(till, &status, 0) == till && WIFSIGNALED(status)) ++out.kills;
  out.calls += 2;

  const JournalContents before = read_journal(journal_path());
  setup.unit().clear_scripts();
  setup.unit().resume_reading();
  const std::string command = std::string("'") + SAT_JOURNAL_PATH + "' --resolve " + kCode + " --library '" +
                              LIBRARY_PATH + "'" +
                              (std::getenv("ZUNRA_SOAK_TRACE") ? " >&2" : " >/dev/null 2>&1");
  [[maybe_unused]] const int settled = std::system(command.c_str());
  const JournalContents after = read_journal(journal_path());

  if (std::getenv("ZUNRA_SOAK_TRACE"))
    for (const std::string& f : setup.unit().frames()) std::fprintf(stderr, "  frame %.60s\n", f.c_str());
  for (const int session : {sale_session, sale_session + 1}) {
    const JournalEntry* was = nullptr;
    const JournalEntry* is = nullptr;
    for (const JournalEntry& e : before.entries)
      if (e.intent.number("sessao") == session) was = &e;
    for (const JournalEntry& e : after.entries)
      if (e.intent.number("sessao") == session) is = &e;
    if (setup.unit().processed(session == sale_session ? 3 : 4, session) > 1) ++out.duplicates;
    const bool issued = unit_issued(setup.unit(), session);
    if (!is) {
      if (setup.unit().processed(session == sale_session ? 3 : 4, session) > 0) ++out.journal_wrong;
      continue;
    }
    const std::string result = is->known_result();
    const bool right = result.empty() || (result == kIssued) == issued;
    if (!right) ++out.journal_wrong;
    if (std::getenv("ZUNRA_SOAK_TRACE"))
      std::fprintf(stderr, "session %d: before '%s' after '%s' issued %d processed %d stored %.30s\n",
                   session, was ? was->known_result().c_str() : "-", result.c_str(), issued,
                   setup.unit().processed(session == sale_session ? 3 : 4, session),
                   setup.unit().stored_reply(session).c_str());
    if (was && !was->known_result().empty()) continue;
    ++out.open_after_kill;
    if (result.empty())
      ++out.left_unknown;
    else if (right)
      ++out.settled_right;
    else
      ++out.settled_wrong;
  }
}

Outcome run_schedule(unsigned seed) {
  std::mt19937 rng(seed);
  DriverSetup setup;
  deadline_second_ms = kSecondMs;
  ModoLock = static_cast<int>(rng() % 2);
  NumTent = 1 + static_cast<int>(rng() % 4);
  TmpTent = 0;
  T_Venda[0] = T_Canc[0] = T_Sessao[0] = 0;
  T_Venda[1] = 5;
  T_Canc[1] = 3;
  T_Sessao[1] = 5;

  std::vector<Script> plan;
  const int frames = 1 + static_cast<int>(rng() % 8);
  for (int i = 0; i < frames; ++i) plan.push_back(random_script(rng));
  if (g_callers == 1) {
    setup.unit().schedule(plan);
  } else {
    // Each script goes to the next frame of one of the faulted commands; a
    // later rule wins, so they are laid down last first.
    static const int kFaulted[] = {3, 4, 8};
    for (auto it = plan.rbegin(); it != plan.rend(); ++it) {
      if (it->act == Act::StopReading) it->act = Act::Answer;
      setup.unit().on_command(kFaulted[rng() % 3], *it, 1);
    }
    // The second program waits out the longest sale rather than fall back.
    T_Cons[0] = T_Stat[0] = 5;
    T_Cons[1] = T_Stat[1] = 0;
  }
  const bool trace = std::getenv("ZUNRA_SOAK_TRACE") != nullptr;  // one line per frame planned and per call
  if (trace) {
    std::fprintf(stderr, "NumTent %d ModoLock %d\n", NumTent, ModoLock);
    for (const Script& p : plan)
      std::fprintf(stderr,
                   "  act %d delay %lld wrong %d chunk %zu/%lld rate %zu hang_after %zu garbage %zu\n",
                   static_cast<int>(p.act), static_cast<long long>(p.delay.count()), p.wrong_session_first,
                   p.chunk, static_cast<long long>(p.chunk_pause.count()), p.bytes_per_second,
                   p.hang_up_after == SIZE_MAX ? 0 : p.hang_up_after, p.garbage_before.size());
  }

  Outcome out;
  const pid_t second = g_callers == 2 ? start_second_program(out) : -1;
  auto judge = [&](int code, int session, const char* reply, double ms, const int pair[2]) {
    ++out.calls;
    if (!own_reply(reply, session)) ++out.not_own;
    if (std::getenv("ZUNRA_SOAK_TRACE"))
      std::fprintf(stderr, "call %d session %d: %.0f ms, reply %.40s\n", code, session, ms, reply);
    const int processed = setup.unit().processed(code, session);
    const std::string stored = setup.unit().stored_reply(session);
    const bool success = reply == stored && !stored.empty();
    if (processed > 1) ++out.duplicates;
    if (processed >= 1 && !success) ++out.processed_but_told_failure;
    if (processed == 0 && std::strncmp(reply + 6, code == 3 ? "|06000|" : "|07000|", 7) == 0)
      ++out.told_success_not_processed;
    const double bound = bound_ms(pair, NumTent);
    if (ms / bound > out.worst_ratio) out.worst_ratio = ms / bound;
    if (ms > out.longest_ms) {
      out.longest_ms = ms;
      out.longest_bound_ms = bound;
    }
  };

  const int sale_session = static_cast<int>(rng() % 900000) + 1;
  if (g_kill) {
    judge_killed_till(setup, sale_session, rng, out);
    return out;
  }
  std::string sale(kSale);
  auto start = Clock::now();
  const std::string sale_reply = EnviarDadosVenda(sale_session, kCode, &sale[0]);
  judge(3, sale_session, sale_reply.c_str(), ms_since(start), T_Venda);

  const std::string key = setup.unit().last_sale_key();
  if (!key.empty()) {
    const int cancel_session = sale_session + 1;
    const std::string doc = "<CFeCanc><infCFe chCanc=\"" + key + "\"></infCFe></CFeCanc>";
    start = Clock::now();
    const std::string reply = CancelarUltimaVenda(cancel_session, kCode, key.c_str(), doc.c_str());
    judge(4, cancel_session, reply.c_str(), ms_since(start), T_Canc);
  }
  if (second > 0) finish_second_program(second, out, setup.unit().hung_up());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  long schedules = 2000, first = 0;
  double minutes = 0;
  unsigned seed = 1;
  const char* json_path = nullptr;
  long whole = 0;
  parse_options(
      argc, argv,
      "fault_soak [--schedules N] [--minutes M] [--seed S] [--first K] [--json FILE] [--callers 2] [--kill]",
      "Sales and cancellations through randomized fault schedules of the simulated unit, each\n"
      "schedule in a child process. Prints the schedules run, calls, duplicates (must be 0),\n"
      "calls carried out while the caller was told failure, the longest call against its\n"
      "bound, crashes and hangs.\n"
      "  --schedules N  run N schedules (default 2000)\n"
      "  --minutes M    run for M minutes instead\n"
      "  --seed S       seed of the schedules (default 1)\n"
      "  --first K      start at schedule K (replays one that failed)\n"
      "  --json FILE    also write the figures as JSON to FILE\n"
      "  --callers 2    a second program shares the unit during each schedule\n"
      "  --kill         the till is killed at a random moment; the journal settles what it left\n",
      {{"--schedules", true, [&](const char* v) { return whole_number(v, 1, 100000000, schedules); }},
       {"--minutes", true,
        [&](const char* v) {
          char* end = nullptr;
          minutes = std::strtod(v, &end);
          return end != v && *end == '\0' && minutes > 0;
        }},
       {"--seed", true,
        [&](const char* v) {
          return whole_number(v, 0, 4294967295L, whole) && (seed = static_cast<unsigned>(whole), true);
        }},
       {"--first", true, [&](const char* v) { return whole_number(v, 0, 100000000, first); }},
       {"--json", true, [&](const char* v) { return (json_path = v) != nullptr; }},
       {"--callers", true,
        [&](const char* v) {
          return whole_number(v, 1, 2, whole) && (g_callers = static_cast<int>(whole), true);
        }},
       {"--kill", false, [&](const char*) { return g_kill = true; }}});
  const auto start = Clock::now();
  long run = 0, crashes = 0, hangs = 0, worst_schedule = -1;
  Outcome total;
  for (; (minutes > 0 ? ms_since(start) < minutes * 60000 : run < schedules); ++run) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return 1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipe_fds[0]);
      const Outcome o = run_schedule(seed * 1000003u + static_cast<unsigned>(first + run));
      const ssize_t w = ::write(pipe_fds[1], &o, sizeof o);
      ::_exit(w == sizeof o ? 0 : 3);
    }
    ::close(pipe_fds[1]);
    // A schedule that outlives every bound by far is a hang.
    Outcome o;
    std::size_t got = 0;
    const Deadline limit = Deadline::in_ms(60000);
    while (got < sizeof o) {
      pollfd p{pipe_fds[0], POLLIN, 0};  // data and the child's hang-up come together
      if (::poll(&p, 1, static_cast<int>(limit.remaining_ms())) <= 0) break;
      const ssize_t n = ::read(pipe_fds[0], reinterpret_cast<char*>(&o) + got, sizeof o - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(pipe_fds[0]);
    if (got < sizeof o && limit.passed()) {
      ::kill(pid, SIGKILL);
      ++hangs;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && got < sizeof o && !limit.passed()) ++crashes;
    if (got < sizeof o) {
      std::fprintf(stderr, "schedule %ld (seed %u): %s %d\n", first + run,
                   seed * 1000003u + static_cast<unsigned>(first + run),
                   WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "no result, exit status",
                   WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      continue;
    }
    total.add_counts(o);
    if (o.longest_ms > total.longest_ms) {
      total.longest_ms = o.longest_ms;
      total.longest_bound_ms = o.longest_bound_ms;
    }
    if (o.worst_ratio > total.worst_ratio) {
      total.worst_ratio = o.worst_ratio;
      worst_schedule = first + run;
    }
  }
  const double minutes_taken = ms_since(start) / 60000;
  std::printf("| figure | value |\n|---|---|\n");
  std::printf("| callers on the unit | %d |\n", g_callers);
  std::printf("| schedules run | %ld |\n| calls | %d |\n", run, total.calls);
  std::printf("| duplicates processed by the unit (must be 0) | %d |\n", total.duplicates);
  if (!g_kill) {  // a killed till tells nothing; its journal is judged below
    std::printf("| unit processed, caller told failure | %d |\n", total.processed_but_told_failure);
    std::printf("| caller told success, unit processed nothing (must be 0) | %d |\n",
                total.told_success_not_processed);
    std::printf("| replies not the caller's own (must be 0) | %d |\n", total.not_own);
  }
  if (g_callers == 2) {
    std::printf("| calls of the second program | %d |\n", total.second_calls);
    std::printf("| second program fell back, unit there (must be 0) | %d |\n", total.fell_back_other);
  }
  if (g_kill) {
    std::printf("| tills killed before they were done | %d |\n", total.kills);
    std::printf("| sales and cancellations left open by a kill | %d |\n", total.open_after_kill);
    std::printf("| settled to what the unit did (must be all) | %d |\n", total.settled_right);
    std::printf("| settled wrongly (must be 0) | %d |\n", total.settled_wrong);
    std::printf("| left unknown, unit answering (must be 0) | %d |\n", total.left_unknown);
    std::printf("| journal entries against the unit (must be 0) | %d |\n", total.journal_wrong);
  } else {
    std::printf("| longest call | %.0f ms (its bound %.0f ms) |\n", total.longest_ms, total.longest_bound_ms);
  }
  if (!g_kill)
    std::printf("| worst call / its bound | %.3f (schedule %ld: --seed %u --first %ld --schedules 1) |\n",
                total.worst_ratio, worst_schedule, seed, worst_schedule);
  std::printf("| crashes | %ld |\n| hangs | %ld |\n| wall time | %.1f min |\n", crashes, hangs,
              minutes_taken);
  if (json_path) {
    if (std::FILE* f = std::fopen(json_path, "w")) {
      std::fprintf(
          f,
          "{\"callers\": %d, \"not_own\": %d, \"fell_back_other\": %d, \"schedules\": %ld, \"calls\": %d, "
          "\"duplicates\": %d, \"processed_but_told_failure\": %d, "
          "\"told_success_not_processed\": %d, \"longest_call_ms\": %.1f, \"longest_call_bound_ms\": %.1f, "
          "\"worst_ratio\": %.4f, \"crashes\": %ld, \"hangs\": %ld, \"minutes\": %.2f, \"kills\": %d, "
          "\"open_after_kill\": %d, \"settled_right\": %d, \"settled_wrong\": %d, \"left_unknown\": %d, "
          "\"journal_wrong\": %d}\n",
          g_callers, total.not_own, total.fell_back_other, run, total.calls, total.duplicates,
          total.processed_but_told_failure, total.told_success_not_processed, total.longest_ms,
          total.longest_bound_ms, total.worst_ratio, crashes, hangs, minutes_taken, total.kills,
          total.open_after_kill, total.settled_right, total.settled_wrong, total.left_unknown,
          total.journal_wrong);
      std::fclose(f);
    }
  }
  return 0;
}
