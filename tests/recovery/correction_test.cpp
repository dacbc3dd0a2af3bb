// Decoding of references in sale documents; the empty field that a
// cancellation reply of eleven fields gains.
#include "recovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Correcao, DecodesReferencesAndLeavesEverythingElse) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"&#x41;", "     A"}, {"&#X41;", "     A"}, {"&#x0D;", "      "}, {"&#x0d;", "      "},
      {"&#x27;", "     `"}, {"&#65;", "    A"}, {"&#0065;", "      A"}, {"&#39;", "    `"},
      {"M&#x41;RIA &#38; F&#x41;&#66;", "M     ARIA     & F     A    B"},
      // Left alone: beyond ASCII, bad digits, no ';' within reach, no
      // reference at all, a NUL that would cut the document, huge values
      // that would wrap back into ASCII.
      {"&#xE9;", ""}, {"&#233;", ""}, {"&#x4G;", ""}, {"&#6A;", ""}, {"fim &#", ""}, {"&#x41", ""},
      {"&#x0000000041;", ""}, {"&#Z;", ""}, {"a&#;b", ""}, {"&#x0;", ""}, {"&#0;", ""},
      {"&#xFFFFFFFFF;", ""}, {"&#4294967361;", ""}};
  for (const auto& [text, expected] : cases) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    EXPECT_EQ(Correcao(buffer.data()), 0);
    EXPECT_EQ(std::string(buffer.data(), text.size()), expected.empty() ? text : expected) << text;
  }
  EXPECT_EQ(Correcao(nullptr), 0);
}

TEST(FieldInsertion, OnlyTenBarsAnyTailAndOnlyWhenItFits) {
  auto insert = [](const std::string& text, std::size_t capacity) {
    std::vector<char> area(capacity + 1, '#');
    text.copy(area.data(), text.size());
    area[text.size()] = '\0';
    zunra::insert_empty_field(area.data(), capacity);
    EXPECT_EQ(area[capacity], '#') << "written past the area";
    return std::string(area.data());
  };
  const std::string ten = "a|b|c|d|e|f|g|h|i|j|", tail(5000, 'Q');
  EXPECT_EQ(insert(ten + "k", 64), "a|b|c|d|e|f|g|h|i|j||k");
  EXPECT_EQ(insert(ten + tail, 8192), ten + "|" + tail);  // far beyond 511 characters
  EXPECT_EQ(insert(ten + "k|l", 64), ten + "k|l");
  EXPECT_EQ(insert("a|b|c|d|e|f|g|h|i|j", 64), "a|b|c|d|e|f|g|h|i|j");
  EXPECT_EQ(insert(ten + "xyz", ten.size() + 5), ten + "|xyz");  // text, '|' and NUL just fit
  EXPECT_EQ(insert(ten + "xyz", ten.size() + 4), ten + "xyz");
}

}  // namespace
