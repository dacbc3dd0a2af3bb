// The journal file on its own: a power cut at any byte of its last records,
// several processes appending at once, and rotation keeping what is
// unresolved.
#include "journal_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "driver_test.h"
#include "journal_reading.h"
#include "sha256.h"
#include "temp_dir.h"

namespace zunra {
namespace {

std::string intent_line(const std::string& id, int session) {
  return JournalRecord("intent")
      .text("id", id)
      .number("sessao", session)
      .text("fn", "EnviarDadosVenda")
      .line();
}

std::string outcome_line(const std::string& id) {
  return JournalRecord("outcome").text("id", id).text("result", kIssued).text("key", "CFe" + id).line();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(JournalFile, PowerCutAtEveryByteOfTheLastRecordsKeepsWholeOnesAndTheNextAppend) {
  test::TempDir dir;
  const std::string path = journal_path_in(dir.path());
  // Texts that need escaping must come back as they were.
  const std::string odd = "aspas \" barra \\ e\tcontrole";
  int error = 0;
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(append_journal(path, intent_line("a" + std::to_string(i), i), true, error), 0);
  const std::size_t whole_before = test::read_file(path).size();
  ASSERT_EQ(
      append_journal(path, JournalRecord("intent").text("id", "odd").text("fn", odd).line(), true, error), 0);
  ASSERT_EQ(append_journal(path, outcome_line("odd"), false, error), 0);
  const std::string full = test::read_file(path);

  for (std::size_t cut = whole_before; cut <= full.size(); ++cut) {
    SCOPED_TRACE("cut at byte " + std::to_string(cut));
    write_file(path, full.substr(0, cut));
    JournalContents read = read_journal(path);
    // Whole lines: those ending before the cut; one ending right at it
    // (its line feed lost) is whole too.
    std::size_t whole = 0, at = 0;
    for (std::size_t end; (end = full.find('\n', at)) != std::string::npos && end <= cut; at = end + 1)
      ++whole;
    const bool torn = cut > at && cut < full.find('\n', at);
    if (cut == full.find('\n', at)) ++whole;
    std::size_t records = 0;
    for (const JournalEntry& e : read.entries) records += e.has_intent + e.has_outcome + e.has_settled;
    EXPECT_EQ(records, whole);
    ASSERT_EQ(read.torn.size(), torn ? 1u : 0u);
    if (torn) {
      EXPECT_EQ(read.torn[0].line, static_cast<long>(whole + 1));
    }
    if (whole >= 4) {
      EXPECT_EQ(read.entries.back().intent.get("fn"), odd);
    }

    ASSERT_EQ(append_journal(path, intent_line("after", 9), false, error), 0);
    read = read_journal(path);
    ASSERT_FALSE(read.entries.empty());
    EXPECT_EQ(read.entries.back().id, "after");
    EXPECT_EQ(read.entries.back().intent.number("sessao"), 9);
    EXPECT_EQ(read.torn.size(), torn ? 1u : 0u);
  }
}

TEST(JournalFile, SeveralProcessesAppendingAtOnceNeverMixTheirLines) {
  test::TempDir dir;
  const std::string path = journal_path_in(dir.path());
  constexpr int kWriters = 4, kEach = 250;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int error = 0;
      // Lines of several pipe buffers' worth, so a split write would show.
      const std::string padding(5000 + 3000 * w, 'x');
      for (int i = 0; i < kEach; ++i) {
        const std::string id = std::to_string(w) + "-" + std::to_string(i);
        const std::string line = JournalRecord("intent").text("id", id).text("pad", padding).line();
        if (append_journal(path, line, i % 50 == 0, error) != 0) ::_exit(1);
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  for (const pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const JournalContents read = read_journal(path);
  EXPECT_TRUE(read.torn.empty());
  EXPECT_EQ(read.entries.size(), static_cast<std::size_t>(kWriters * kEach));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
}

TEST(JournalFile, RotationKeepsOneOldGenerationAndCarriesWhatIsUnresolved) {
  test::TempDir dir;
  const std::string path = journal_path_in(dir.path());
  const std::int64_t saved = journal_limit_bytes;
  journal_limit_bytes = 4096;
  int error = 0;
  std::set<std::string> open_ids;
  for (int i = 0; i < 400; ++i) {
    const std::string id = "s" + std::to_string(i);
    ASSERT_EQ(append_journal(path, intent_line(id, i), false, error), 0);
    if (i % 25 == 7)
      open_ids.insert(id);  // killed before its outcome
    else
      ASSERT_EQ(append_journal(path, outcome_line(id), false, error), 0);
  }
  journal_limit_bytes = saved;

  const JournalContents read = read_journal(path);
  std::set<std::string> found_open;
  for (const JournalEntry& e : read.entries)
    if (e.has_intent && e.known_result().empty()) found_open.insert(e.id);
  EXPECT_EQ(found_open, open_ids);
  EXPECT_TRUE(read.torn.empty());
  // Bounded: two generations, each at most the limit plus what it carries.
  EXPECT_LT(test::read_file(path).size() + test::read_file(path + ".1").size(), 2 * 4096 + 16 * 200u);
  EXPECT_FALSE(std::ifstream(path + ".2").good());
}

TEST(JournalFile, Sha256OfKnownTexts) {
  EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(sha256_hex(two_blocks.data(), two_blocks.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  EXPECT_EQ(sha256_hex(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace zunra
