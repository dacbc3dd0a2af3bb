// The simulated unit itself, talked to with raw bytes on its pseudo-terminal:
// what the driver's own tests rely on without checking it.
#include "sim_unit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using zunra::sim::Act;
using zunra::sim::Script;
using zunra::sim::SimUnit;

namespace {

using Clock = std::chrono::steady_clock;

// The driver's side of the line: the pty slave.
class Line {
 public:
  explicit Line(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~Line() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void send(const std::string& frame) {
    const std::string bytes = frame + "|\x03";
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Bytes up to and including the next 0x03, or what came before the timeout.
  std::string read_until_etx(std::chrono::milliseconds timeout = 2000ms) {
    const auto end = Clock::now() + timeout;
    for (;;) {
      const std::size_t etx = pending_.find('\x03');
      if (etx != std::string::npos) {
        std::string got = pending_.substr(0, etx + 1);
        pending_.erase(0, etx + 1);
        return got;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      char buf[65536];
      ssize_t n = 0;
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0 || (n = ::read(fd_, buf, sizeof buf)) <= 0)
        return std::exchange(pending_, std::string());
      pending_.append(buf, static_cast<std::size_t>(n));
    }
  }
  std::string reply(const std::string& frame, std::chrono::milliseconds timeout = 2000ms) {
    send(frame);
    std::string r = read_until_etx(timeout);
    if (!r.empty() && r.back() == '\x03') r.pop_back();
    return r;
  }

 private:
  int fd_;
  std::string pending_;  // read past the last reply's 0x03
};

std::vector<std::string> fields(const std::string& reply) {
  std::vector<std::string> out(1);
  for (char c : reply) {
    if (c == '|')
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

const std::string kSale =
    "<CFe><infCFe versao=\"0.08\"><dest><CPF>12345678909</CPF></dest>"
    "<total><vCFe>12.50</vCFe></total></infCFe></CFe>";

std::string sale_frame(int session) {
  char s[8];
  std::snprintf(s, sizeof s, "%06d", session);
  return std::string("|03|") + s + "|12345678|" + kSale;
}

bool key_is_valid(const std::string& key) {
  if (key.size() != 47 || key.compare(0, 3, "CFe") != 0) return false;
  for (std::size_t i = 3; i < 47; ++i)
    if (key[i] < '0' || key[i] > '9') return false;
  return key[46] - '0' == zunra::sim::access_key_check_digit(key.substr(3, 43));
}

}  // namespace

TEST(SimUnit, AccessKeyCheckDigit) {
  const std::string zeros(43, '0');
  std::string k = zeros;
  k[42] = '1';  // weight 2: 11 - 2
  EXPECT_EQ(zunra::sim::access_key_check_digit(k), 9);
  k = zeros;
  k[42 - 8] = '1';  // the ninth digit from the right has weight 2 again
  EXPECT_EQ(zunra::sim::access_key_check_digit(k), 9);
  k = zeros;
  k[42] = '5';  // sum 10, remainder 10: 11 - 10 = 1
  EXPECT_EQ(zunra::sim::access_key_check_digit(k), 1);
  k[41] = '3';  // sum 10 + 9 = 19, remainder 8: 3
  EXPECT_EQ(zunra::sim::access_key_check_digit(k), 3);
  k = zeros;  // remainder 0 and 1 both give 0
  EXPECT_EQ(zunra::sim::access_key_check_digit(k), 0);
  k[42] = '6';  // sum 12, remainder 1
  EXPECT_EQ(zunra::sim::access_key_check_digit(k), 0);
}

TEST(SimUnit, SaleAndCancellationCarryReceipts) {
  SimUnit unit;
  Line line(unit.path());
  ASSERT_TRUE(line.ok());

  // Sale: twelve fields, field 6 the Base64 XML with the key and the total.
  const auto sale = fields(line.reply(sale_frame(123)));
  ASSERT_EQ(sale.size(), 12u);
  EXPECT_EQ(sale[0], "000123");
  EXPECT_EQ(sale[1], "06000");
  EXPECT_EQ(sale[7].size(), 14u);
  EXPECT_TRUE(key_is_valid(sale[8])) << sale[8];
  EXPECT_EQ(sale[9], "12.50");
  EXPECT_EQ(sale[10], "12345678909");
  std::string xml;
  ASSERT_TRUE(zunra::sim::base64_decode(sale[6], xml));
  EXPECT_EQ(xml.find("<CFe>"), xml.find("<CFe"));
  EXPECT_NE(xml.find("Id=\"" + sale[8] + "\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<vCFe>12.50</vCFe>"), std::string::npos);
  EXPECT_EQ(unit.last_sale_key(), sale[8]);

  // A document without a CF-e is refused, and issues nothing.
  EXPECT_EQ(fields(line.reply("|03|000124|12345678|<venda/>"))[1].substr(0, 4), "0600");
  EXPECT_EQ(fields(line.reply("|03|000125|00000000|" + kSale))[1], "06001");
  EXPECT_EQ(unit.receipts_issued(), 1);

  // Cancellation: only of the last sale, only once.
  EXPECT_EQ(fields(line.reply("|04|000130|12345678|CFe0000|<CFeCanc/>"))[1].substr(0, 3), "070");
  const auto canc = fields(line.reply("|04|000131|12345678|" + sale[8] + "|<CFeCanc/>"));
  ASSERT_EQ(canc.size(), 12u);
  EXPECT_EQ(canc[1], "07000");
  EXPECT_TRUE(key_is_valid(canc[8]));
  EXPECT_NE(canc[8], sale[8]);
  ASSERT_TRUE(zunra::sim::base64_decode(canc[6], xml));
  EXPECT_NE(xml.find("chCanc=\"" + sale[8] + "\""), std::string::npos) << xml;
  const auto again = fields(line.reply("|04|000132|12345678|" + sale[8] + "|<CFeCanc/>"));
  EXPECT_NE(again[1], "07000");
  EXPECT_EQ(again[1].substr(0, 3), "070");

  // A unit whose cancellation replies lack a field gives ten bars.
  SimUnit::Options o;
  o.short_cancel_reply = true;
  SimUnit short_unit(o);
  Line l2(short_unit.path());
  const auto s2 = fields(l2.reply(sale_frame(1)));
  EXPECT_EQ(fields(l2.reply("|04|000002|12345678|" + s2[8] + "|x")).size(), 11u);
}

TEST(SimUnit, SessionQueriesReplayStoredRepliesVerbatim) {
  SimUnit unit;
  Line line(unit.path());
  EXPECT_EQ(line.reply("|20|000001|12345678").substr(0, 13), "000001|19003|");
  const std::string sale = line.reply(sale_frame(10));
  ASSERT_EQ(sale.substr(0, 13), "000010|06000|");
  const std::string status = line.reply("|05|000011");
  EXPECT_EQ(status, "000011|08000|SAT em operação||");

  // Asked from another session, and from the very session asked about.
  EXPECT_EQ(line.reply("|08|000012|12345678|000010"), sale);
  EXPECT_EQ(line.reply("|08|000010|12345678|000010"), sale);
  EXPECT_EQ(line.reply("|08|000013|12345678|000011"), status);
  EXPECT_EQ(line.reply("|08|000014|12345678|000099"), "000014|11003|Sessão não existe||");
  EXPECT_EQ(fields(line.reply("|08|000015|99999999|000010"))[1], "11001");
  EXPECT_EQ(line.reply("|20|000016|12345678"), sale);

  // The unit remembers its last 100 sessions only.
  for (int s = 100; s < 200; ++s) line.reply("|05|000" + std::to_string(s));
  EXPECT_EQ(fields(line.reply("|08|000201|12345678|000010"))[1], "11003");
  EXPECT_EQ(fields(line.reply("|08|000201|12345678|000100"))[1], "08000");
  EXPECT_EQ(line.reply("|20|000202|12345678"), sale);
}

TEST(SimUnit, CountsWhatItCarriedOut) {
  SimUnit unit;
  Line line(unit.path());
  // A careless unit carries out a session it already processed again.
  const std::string first = line.reply(sale_frame(5));
  const std::string second = line.reply(sale_frame(5));
  EXPECT_EQ(unit.processed(3, 5), 2);
  EXPECT_EQ(unit.receipts_issued(), 2);
  EXPECT_NE(fields(first)[8], fields(second)[8]);

  // Busy, silent and canned answers carry nothing out; a dropped reply does.
  unit.schedule({Act::Busy, Act::Silent, Act::ProcessThenDrop});
  Script canned;
  canned.canned = "{session}|06000|0000|pronto||";
  unit.on_command(3, canned, 1);
  EXPECT_EQ(line.reply(sale_frame(6)), "000006|06098|0000|SAT em processamento. Tente novamente.||");
  EXPECT_EQ(line.reply(sale_frame(7), 200ms), "");
  EXPECT_EQ(line.reply(sale_frame(8), 200ms), "");
  EXPECT_EQ(line.reply(sale_frame(9)), "000009|06000|0000|pronto||");
  EXPECT_EQ(unit.processed(3, 6) + unit.processed(3, 7) + unit.processed(3, 9), 0);
  EXPECT_EQ(unit.processed(3, 8), 1);
  EXPECT_EQ(line.reply("|08|000010|12345678|000008").substr(0, 13), "000008|06000|");
  EXPECT_EQ(unit.receipts_issued(), 3);
}

TEST(SimUnit, ScheduleThenRulesThenPlainAnswers) {
  SimUnit unit;
  Line line(unit.path());
  Script busy;
  busy.act = Act::Busy;
  unit.on_command(0, busy);                                 // every command busy...
  unit.on_command(20, Script{}, 2);                         // ...but the next two |20| answered...
  unit.schedule({Script{}, busy});                          // ...and first of all this schedule
  EXPECT_EQ(fields(line.reply("|05|000001"))[1], "08000");  // the schedule wins over rules
  EXPECT_EQ(fields(line.reply("|05|000002"))[1], "08098");
  EXPECT_EQ(fields(line.reply("|20|000003|12345678"))[1], "19003");  // the exact code wins over 0
  EXPECT_EQ(fields(line.reply("|20|000004|12345678"))[1], "19003");
  EXPECT_EQ(fields(line.reply("|20|000005|12345678"))[1], "19098");
  EXPECT_EQ(fields(line.reply("|05|000006"))[1], "08098");
  EXPECT_EQ(fields(line.reply("|08|000007|12345678|000001"))[1], "11098");
  unit.clear_scripts();
  EXPECT_EQ(fields(line.reply("|05|000008"))[1], "08000");

  const auto seen = unit.frames();
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0], "|05|000001");
  EXPECT_EQ(seen[6], "|08|000007|12345678|000001");
  EXPECT_EQ(unit.raw().substr(0, 12), "|05|000001|\x03");
}

TEST(SimUnit, ReplyShapesOnTheWire) {
  SimUnit unit;
  Line line(unit.path());

  // Another session's complete reply first, then ours; garbage around it.
  Script s;
  s.wrong_session_first = true;
  s.garbage_before = "xx";
  s.garbage_after = "yy";
  unit.schedule({s});
  line.send("|05|000041");
  EXPECT_EQ(line.read_until_etx(), "xx000042|08000|SAT em operação||\x03");
  EXPECT_EQ(line.read_until_etx(), "000041|08000|SAT em operação||\x03");
  EXPECT_EQ(line.read_until_etx(300ms), "yy");

  // Chunks with pauses and a byte rate both stretch the reply out in time.
  s = Script{};
  s.chunk = 10;
  s.chunk_pause = 100ms;
  unit.schedule({s});
  auto start = Clock::now();
  EXPECT_EQ(line.reply("|05|000043"), "000043|08000|SAT em operação||");  // 4 chunks
  EXPECT_GE(Clock::now() - start, 250ms);
  unit.set_log_bytes(3000);
  unit.set_rate_limit(20000);
  start = Clock::now();
  const auto log = fields(line.reply("|12|000044|12345678|3.0.0.3_acm0_rpi"));
  EXPECT_GE(Clock::now() - start, 150ms);  // about 4,050 bytes at 20,000 B/s
  ASSERT_EQ(log.size(), 6u);
  std::string text;
  ASSERT_TRUE(zunra::sim::base64_decode(log[5], text));
  EXPECT_EQ(text.size(), 3000u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('|'), 14u);  // YYYYMMDDhhmmss|origem|nivel|texto
  unit.set_rate_limit(0);
  unit.set_log_bytes(SimUnit::log_bytes_for_reply(3000000));
  // 3 MB through a pty takes seconds under an emulator: wait generously.
  const std::size_t big = line.reply("|12|000046|12345678|3.0.0.3_acm0_rpi", 30000ms).size();
  EXPECT_GE(big, 3000000u);
  EXPECT_LE(big, 3000003u);

  // Hang-up halfway through a reply: the reader sees the line drop.
  s = Script{};
  s.hang_up_after = 5;
  unit.schedule({s});
  line.send("|05|000045");
  EXPECT_EQ(line.read_until_etx(1000ms).substr(0, 5), "00004");
  pollfd p{line.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  EXPECT_EQ(::access(unit.path().c_str(), F_OK), -1);
}

TEST(SimUnit, StopReadingFillsTheLine) {
  SimUnit unit;
  Line line(unit.path());
  unit.stop_reading();
  ASSERT_EQ(::fcntl(line.fd(), F_SETFL, O_NONBLOCK), 0);
  const std::string block(4096, 'a');
  std::size_t written = 0;
  for (int i = 0; i < 4096; ++i) {  // a pty holds well under 16 MB
    const ssize_t n = ::write(line.fd(), block.data(), block.size());
    if (n < 0) {
      EXPECT_EQ(errno, EAGAIN);
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  EXPECT_LT(written, 4096u * 4096u);
  EXPECT_TRUE(unit.raw().empty());
  unit.resume_reading();
  const auto deadline = Clock::now() + 2s;
  while (unit.raw().size() < written && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(unit.raw().size(), written);
}

TEST(SimUnit, ActivationAndCodes) {
  SimUnit::Options o;
  o.activated = false;
  SimUnit unit(o);
  Line line(unit.path());
  EXPECT_EQ(fields(line.reply("|05|000001"))[1], "08000");
  EXPECT_EQ(fields(line.reply(sale_frame(2)))[1], "06002");
  const auto act = fields(line.reply("|01|000003|1|87654321|11111111000191|35"));
  ASSERT_EQ(act.size(), 6u);
  EXPECT_EQ(act[1], "04000");
  EXPECT_FALSE(act[5].empty());
  EXPECT_EQ(fields(line.reply("|07|000004|12345678"))[1], "10001");
  const auto status = fields(line.reply("|07|000005|87654321"));
  EXPECT_EQ(status[1], "10000");
  EXPECT_EQ(status.size(), 5u + 23u);
  EXPECT_EQ(fields(line.reply("|15|000006|87654321|1|11112222|11112222"))[1], "18000");
  EXPECT_EQ(fields(line.reply("|13|000007|11112222"))[1], "16000");
  EXPECT_EQ(fields(line.reply("|03|000008|11112222|" + kSale))[1].substr(0, 3), "060");
  EXPECT_EQ(unit.receipts_issued(), 0);  // blocked
  EXPECT_EQ(fields(line.reply("|14|000009|11112222"))[1], "17000");
  EXPECT_EQ(fields(line.reply("|03|000010|11112222|" + kSale))[1], "06000");
  EXPECT_EQ(fields(line.reply("|05|12345"))[1], "08097");
}
