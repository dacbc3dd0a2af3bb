#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cfe_decoding.h"
#include "session_numbers.h"

using namespace zunra::cli;

namespace {

// Decodes text into a buffer of the given capacity; returns result and bytes.
std::pair<int, std::string> decode(const std::string& text, unsigned capacity = 64) {
  std::vector<unsigned char> out(capacity + 1);
  unsigned length = capacity;
  const int result = base64decode(text.data(), static_cast<unsigned>(text.size()), out.data(), &length);
  return {result, std::string(out.begin(), out.begin() + length)};
}

}  // namespace

TEST(Base64, DecodesGroupsPaddingLineFeedsAndStops) {
  EXPECT_EQ(decode("YWJj"), std::make_pair(0, std::string("abc")));
  // Padding is optional, a lone symbol is dropped.
  EXPECT_EQ(decode("YWI"), std::make_pair(0, std::string("ab")));
  EXPECT_EQ(decode("YWI="), std::make_pair(0, std::string("ab")));
  EXPECT_EQ(decode("YQ=="), std::make_pair(0, std::string("a")));
  EXPECT_EQ(decode("Y"), std::make_pair(0, std::string()));
  // Line feeds are skipped anywhere; '=' ends the data, whatever follows.
  EXPECT_EQ(decode("YW\nJj\nZGVm\n"), std::make_pair(0, std::string("abcdef")));
  EXPECT_EQ(decode("YWJj=YWJj"), std::make_pair(0, std::string("abc")));
  EXPECT_EQ(decode("YWJj=!!"), std::make_pair(0, std::string("abc")));
  // A blank or a carriage return is no white space here: it fails, keeping what came before.
  EXPECT_EQ(decode("YWJj ZGVm"), std::make_pair(1, std::string("abc")));
  EXPECT_EQ(decode("YWJj\r\nZGVm"), std::make_pair(1, std::string("abc")));
  EXPECT_EQ(decode("\xff"), std::make_pair(1, std::string()));
  // The whole alphabet, high bits included.
  EXPECT_EQ(decode("+/+/"), std::make_pair(0, std::string("\xfb\xff\xbf")));
}

TEST(Base64, DecoderNeverWritesPastItsCapacity) {
  EXPECT_EQ(decode("YWJj", 3), std::make_pair(0, std::string("abc")));
  EXPECT_EQ(decode("YWJjZGVm", 5), std::make_pair(1, std::string("abc")));
  EXPECT_EQ(decode("YWJjZA", 3), std::make_pair(1, std::string("abc")));
  EXPECT_EQ(decode("YWJjZGU", 4), std::make_pair(1, std::string("abc")));
  EXPECT_EQ(decode("", 0), std::make_pair(0, std::string()));
}

TEST(Base64, EncodesWithPaddingAndTerminatorWithinCapacity) {
  char out[32];
  EXPECT_EQ(base64encode(reinterpret_cast<const unsigned char*>("abc"), 3, out, 5), 0);
  EXPECT_STREQ(out, "YWJj");
  EXPECT_EQ(base64encode(reinterpret_cast<const unsigned char*>("a"), 1, out, 5), 0);
  EXPECT_STREQ(out, "YQ==");
  EXPECT_EQ(base64encode(reinterpret_cast<const unsigned char*>("ab"), 2, out, 5), 0);
  EXPECT_STREQ(out, "YWI=");
  EXPECT_EQ(base64encode(reinterpret_cast<const unsigned char*>("a"), 1, out, 4), 1);
  EXPECT_EQ(base64encode(reinterpret_cast<const unsigned char*>("abc"), 3, out, 4), 1);
  // What the encoder writes, the decoder reads back.
  const unsigned char bytes[] = {0, 1, 2, 250, 251, 252, 253, 254, 255, 128};
  EXPECT_EQ(base64encode(bytes, sizeof bytes, out, sizeof out), 0);
  EXPECT_EQ(decode(out).second, std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

namespace {

// A scripted generator: one raw value per clock second.
std::vector<int> script;
std::size_t second = 0;
int waits = 0;
void use_script(std::vector<int> values) {
  script = std::move(values);
  second = 0;
  waits = 0;
  set_session_random_source({[] { return script.at(second); }, [] { ++second, ++waits; }});
}

}  // namespace

TEST(SessionNumbers, DrawsRefusesRecentNumbersAndWraps) {
  clear_session_history();
  // Raw values above 999999 keep their last six digits.
  use_script({1000000, 999999, 1234567});
  EXPECT_EQ(_100sessao(), 0);
  second = 1;
  EXPECT_EQ(_100sessao(), 999999);
  second = 2;
  EXPECT_EQ(_100sessao(), 234567);

  // Entry 0 holds the cleared 0, so 0 waits for the next second; the first
  // number goes to entry 1.
  use_script({0, 0, 42});
  EXPECT_EQ(_sessao(), 42);
  EXPECT_EQ(waits, 2);
  EXPECT_EQ(idx_100sessoes, 1);
  EXPECT_EQ(n100Sessoes[1], 42);

  // A number still in the history is refused until the clock moves on.
  use_script({42, 43});
  EXPECT_EQ(_sessao(), 43);
  EXPECT_EQ(waits, 1);

  // After a hundred numbers the index wraps to entry 0; only entries up to
  // the index are searched, so older numbers higher up are free again.
  clear_session_history();
  std::vector<int> values;
  for (int i = 1; i <= 100; ++i) values.push_back(i);
  values.push_back(50);
  use_script(values);
  for (int i = 1; i <= 100; ++i) {
    EXPECT_EQ(_sessao(), i);
    second++;
  }
  EXPECT_EQ(idx_100sessoes, 0);
  EXPECT_EQ(n100Sessoes[0], 100);
  EXPECT_EQ(_sessao(), 50);
  EXPECT_EQ(waits, 0);
  use_real_session_random_source();
}

TEST(SessionNumbers, RealSourceGivesOneNumberPerSecond) {
  use_real_session_random_source();
  clear_session_history();
  const int first = _100sessao();
  EXPECT_GE(first, 0);
  EXPECT_LE(first, 999999);
  // The same number twice would only come from the same second: the second
  // call sleeps into the next second rather than spinning.
  const int a = _sessao();
  const int b = _sessao();
  EXPECT_NE(a, b);
}
