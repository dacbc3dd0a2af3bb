// The journal of real sales: what the library writes for each way a sale
// ends, and what sat_journal settles after a till is killed at each point
// of a sale, against what the simulated unit really did.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include "driver_test.h"
#include "journal.h"
#include "journal_file.h"
#include "journal_reading.h"
#include "settings_file.h"
#include "unique_fd.h"
#include "zunra_sat.h"

namespace zunra {
namespace {

using sim::Act;
using sim::Script;
using test::read_file;

constexpr char kCode[] = "12345678";

// A program's exit status and standard output.
struct ProgramRun {
  int status;
  std::string out;
};

ProgramRun run_program(const std::vector<std::string>& args) {
  std::string command = ZUNRA_TEST_EMULATOR " ";
  for (const std::string& a : args) command += "'" + a + "' ";
  ProgramRun run{-1, {}};
  std::FILE* p = ::popen((command + "2>/dev/null").c_str(), "r");
  if (!p) return run;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) run.out.append(buffer, n);
  const int status = ::pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Waits, bounded, for `ready`; false when it never came.
bool eventually(const std::function<bool()>& ready, std::int64_t ms = 10000) {
  return retry_until(Deadline::in_ms(ms), 20, ready);
}

class JournalTest : public test::DriverTest {
 protected:
  JournalTest() { change_setting(journal_on, 1); }
  ~JournalTest() override { change_setting(journal_on, 0); }

  std::string sale(int session, const std::string& code = kCode) {
    std::string document = "<CFe><infCFe><det>Cafe coado</det></infCFe></CFe>";
    return EnviarDadosVenda(session, code.c_str(), &document[0]);
  }
  JournalContents journal() const { return read_journal(journal_path()); }
  const JournalEntry* entry_of(const JournalContents& c, int session) const {
    for (const JournalEntry& e : c.entries)
      if (e.intent.number("sessao") == session) return &e;
    return nullptr;
  }
};

TEST_F(JournalTest, EachWayASaleEndsIsRecordedWithoutTheCodeOrTheDocument) {
  struct Case {
    const char* what;
    std::vector<Script> schedule;
    int attempts_allowed;
    const char* code;
    const char* result;
    const char* reply_code;
    bool recovered;
  };
  const Case cases[] = {
      {"answered", {}, 1, kCode, kIssued, "06000", false},
      {"reply lost, found by the session query", {Act::ProcessThenDrop}, 3, kCode, kIssued, "06000", true},
      {"code refused", {}, 1, "87654321", kRefused, "06001", false},
      {"busy on every attempt", {Act::Busy, Act::Busy}, 2, kCode, kRefused, "06098", false},
      {"silent, fate hidden", {Act::Silent}, 1, kCode, kUnknown, "", false},
  };
  int session = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unit().schedule(c.schedule);
    NumTent = c.attempts_allowed;
    TmpTent = 0;
    sale(++session, c.code);
    const JournalContents read = journal();
    const JournalEntry* e = entry_of(read, session);
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(e->has_outcome);
    EXPECT_EQ(e->intent.get("fn"), "EnviarDadosVenda");
    EXPECT_EQ(e->intent.get("sha256").size(), 64u);
    EXPECT_EQ(e->outcome.get("result"), c.result);
    EXPECT_EQ(e->outcome.get("code"), c.reply_code);
    EXPECT_EQ(e->outcome.get("recovered"), c.recovered ? "true" : "false");
    if (std::string(c.result) == kIssued) {
      EXPECT_EQ(e->outcome.get("key"), unit().last_sale_key());
    }
  }
  const std::string text = read_file(journal_path());
  EXPECT_EQ(text.find(kCode), std::string::npos);
  EXPECT_EQ(text.find("87654321"), std::string::npos);
  EXPECT_EQ(text.find("Cafe"), std::string::npos);
  struct stat st;
  ASSERT_EQ(::stat(journal_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);

  // A cancellation names the key it cancels.
  const std::string key = unit().last_sale_key();
  CancelarUltimaVenda(++session, kCode, key.c_str(), "<CFeCanc/>");
  const JournalContents after = journal();
  const JournalEntry* cancel = entry_of(after, session);
  ASSERT_NE(cancel, nullptr);
  EXPECT_EQ(cancel->intent.get("chCanc"), key);
  EXPECT_EQ(cancel->outcome.get("result"), kIssued);
}

TEST_F(JournalTest, OffByDefaultSwitchedBySettingsAndSetDriver) {
  change_setting(journal_on, 0);
  sale(1);
  EXPECT_FALSE(std::ifstream(journal_path()).good());

  std::ofstream(settings_file_path()) << "[DEFAULT]\nSERIAL=" << unit().path() << "\nJOURNAL=true\n";
  reload_settings();
  EXPECT_EQ(setting(journal_on), 1);
  sale(2);
  EXPECT_EQ(journal().entries.size(), 1u);
  EXPECT_STREQ(SetDriver("JOURNAL", "false"), "OK");
  sale(3);
  EXPECT_EQ(journal().entries.size(), 1u);
}

TEST_F(JournalTest, AJournalThatCannotBeWrittenNeverStopsASaleAndIsSaidOnce) {
  ASSERT_EQ(::mkdir(journal_path().c_str(), 0700), 0);  // in the journal's place
  std::FILE* err = std::tmpfile();
  std::fflush(stderr);
  const int saved = ::dup(2);
  ::dup2(::fileno(err), 2);
  const std::string first = sale(1), second = sale(2);
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_EQ(first.substr(0, 13), "000001|06000|");
  EXPECT_EQ(second.substr(0, 13), "000002|06000|");
  std::rewind(err);
  std::string said;
  for (int c; (c = std::fgetc(err)) != EOF;) said += static_cast<char>(c);
  std::fclose(err);
  const std::string head = "Diario fiscal: Erro ao gravar o arquivo " + journal_path() + ": ";
  EXPECT_EQ(said.compare(0, head.size(), head), 0) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

// A till process on the unit, killed with SIGKILL at one point of its sale.
class KilledTill : public JournalTest {
 protected:
  KilledTill() {
    std::ofstream(settings_file_path()) << "[DEFAULT]\nSERIAL=" << unit().path() << "\nJOURNAL=true\n";
  }

  pid_t start_till(int session, std::size_t document_bytes = 100) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      const std::string till = "exec " ZUNRA_TEST_EMULATOR " " JOURNAL_TILL_PATH " " LIBRARY_PATH " " +
                               std::to_string(session) + " " + std::to_string(document_bytes);
      ::execl("/bin/sh", "sh", "-c", till.c_str(), nullptr);
      ::_exit(127);
    }
    return pid;
  }
  static void kill_till(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the till ended before it was killed";
  }
  // The till holds the journal open right now.
  bool has_journal_open(pid_t pid) const {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(fds.c_str()), &::closedir);
    if (!dir) return false;
    while (const dirent* d = ::readdir(dir.get())) {
      char target[4096];
      const ssize_t n = ::readlink((fds + "/" + d->d_name).c_str(), target, sizeof target);
      if (n > 0 && std::string(target, n) == journal_path()) return true;
    }
    return false;
  }
  bool intent_written(int session) const { return entry_of(journal(), session) != nullptr; }

  // sat_journal --resolve must reach exactly what the unit did, and leave
  // nothing unresolved; run again, it asks nothing more.
  void expect_settled_to_the_units_truth(int session) {
    const ProgramRun resolved =
        run_program({SAT_JOURNAL_PATH, "--resolve", kCode, "--library", LIBRARY_PATH});
    EXPECT_EQ(resolved.status, 0) << resolved.out;
    EXPECT_LE(unit().processed(3, session), 1);
    const std::string stored = unit().stored_reply(session);
    const bool issued = stored.size() > 12 && stored.compare(6, 7, "|06000|") == 0;
    const JournalContents settled = journal();
    const JournalEntry* e = entry_of(settled, session);
    if (!e) {
      EXPECT_EQ(unit().processed(3, session), 0) << "a sale reached the unit without its intent";
    } else if (issued) {
      EXPECT_EQ(e->known_result(), kIssued);
      EXPECT_EQ(e->deciding().get("key"), unit().last_sale_key());
    } else {
      // Not issued: never carried out, or refused with the code the unit kept.
      const std::string result = e->known_result();
      EXPECT_TRUE(result == kNotCarriedOut || result == kRefused) << result;
      if (result == kRefused) {
        EXPECT_EQ(e->deciding().get("code"), stored.substr(7, 5));
      }
    }
    const std::size_t frames = unit().frames().size();
    const ProgramRun again = run_program({SAT_JOURNAL_PATH, "--resolve", kCode, "--library", LIBRARY_PATH});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(unit().frames().size(), frames);
  }
};

TEST_F(KilledTill, BeforeTheIntentIsOnTheDisk) {
  // Hold the journal: the till waits for it before anything is written.
  UniqueFd held(::open(journal_path().c_str(), O_RDWR | O_CREAT, 0660));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  const pid_t till = start_till(11);
  ASSERT_TRUE(eventually([&] { return has_journal_open(till); }));
  kill_till(till);
  held.reset();
  EXPECT_FALSE(intent_written(11));
  expect_settled_to_the_units_truth(11);
  EXPECT_EQ(unit().processed(3, 11), 0);
}

TEST_F(KilledTill, AfterTheIntentBeforeTheFrame) {
  // This process keeps the unit in a call of its own: the till's intent is
  // written, and its frame waits for the unit.
  unit().on_command(5, [] {
    Script s;
    s.delay = std::chrono::milliseconds(2000);
    return s;
  }());
  T_Cons[0] = 1;
  std::thread holder([] { ConsultarSAT(7); });
  ASSERT_TRUE(unit().wait_for_frames(1, std::chrono::milliseconds(5000)));
  const pid_t till = start_till(12);
  ASSERT_TRUE(eventually([&] { return intent_written(12); }));
  kill_till(till);
  holder.join();
  expect_settled_to_the_units_truth(12);
  EXPECT_EQ(journal().entries.size(), 1u);
  EXPECT_EQ(unit().processed(3, 12), 0);
}

TEST_F(KilledTill, InTheMiddleOfTheFrame) {
  unit().stop_reading();
  const pid_t till = start_till(13, 2 * 1024 * 1024 / 3);
  ASSERT_TRUE(eventually([&] { return intent_written(13); }));
  pause_ms(300);  // the line fills up and the till's write waits
  kill_till(till);
  unit().resume_reading();
  expect_settled_to_the_units_truth(13);
}

TEST_F(KilledTill, AfterTheFrameBeforeTheReply) {
  unit().on_command(3, [] {
    Script s;
    s.delay = std::chrono::milliseconds(5000);
    return s;
  }());
  const pid_t till = start_till(14);
  ASSERT_TRUE(eventually([&] { return unit().processed(3, 14) == 1; }));
  kill_till(till);
  unit().clear_scripts();
  expect_settled_to_the_units_truth(14);
  EXPECT_EQ(journal().entries.at(0).known_result(), kIssued);
}

TEST_F(KilledTill, AfterTheReplyBeforeTheOutcome) {
  unit().on_command(3, [] {
    Script s;
    s.delay = std::chrono::milliseconds(1500);  // time to take the journal
    return s;
  }());
  const pid_t till = start_till(15);
  ASSERT_TRUE(eventually([&] { return intent_written(15); }));
  // Hold the journal: the till has its reply and waits to write the outcome.
  UniqueFd held(::open(journal_path().c_str(), O_RDWR));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  ASSERT_TRUE(eventually([&] { return !unit().replies().empty() && has_journal_open(till); }));
  kill_till(till);
  held.reset();
  EXPECT_FALSE(journal().entries.at(0).has_outcome);
  expect_settled_to_the_units_truth(15);
  EXPECT_EQ(journal().entries.at(0).known_result(), kIssued);
}

TEST_F(KilledTill, BadInputGetsAClearLineAndANonZeroExit) {
  EXPECT_EQ(run_program({SAT_JOURNAL_PATH}).status, 2);  // no journal yet
  EXPECT_EQ(run_program({SAT_JOURNAL_PATH, "--resolve"}).status, 2);
  int error = 0;
  append_journal(journal_path(),
                 JournalRecord("intent").text("id", "x").number("pid", 999999999).number("sessao", 42).line(),
                 true, error);
  const ProgramRun wrong_code =
      run_program({SAT_JOURNAL_PATH, "--resolve", "87654321", "--library", LIBRARY_PATH});
  EXPECT_EQ(wrong_code.status, 2);
  const ProgramRun listed = run_program({SAT_JOURNAL_PATH, "--json"});
  EXPECT_EQ(listed.status, 1);
  EXPECT_NE(listed.out.find("\"unresolved\":1"), std::string::npos) << listed.out;
}

}  // namespace
}  // namespace zunra
