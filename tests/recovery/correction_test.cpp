// Decoding of references in sale documents; the room the empty field of a
// cancellation reply needs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery.h"

namespace {

TEST(Correcao, DecodesReferencesAndLeavesEverythingElse) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"&#x41;", "     A"},
      {"&#X41;", "     A"},
      {"&#x0D;", "      "},
      {"&#x0d;", "      "},
      {"&#x27;", "     `"},
      {"&#65;", "    A"},
      {"&#0065;", "      A"},
      {"M&#x41;RIA &#38; F&#x41;&#66;", "M     ARIA     & F     A    B"},
      // Left alone: beyond ASCII, bad digits, no ';' within reach, no
      // reference at all, a NUL that would cut the document, huge values
      // that would wrap back into ASCII.
      {"&#xE9;", ""},
      {"&#233;", ""},
      {"&#x4G;", ""},
      {"&#6A;", ""},
      {"fim &#", ""},
      {"&#x41", ""},
      {"&#x0000000041;", ""},
      {"&#Z;", ""},
      {"&#x0;", ""},
      {"&#0;", ""},
      {"&#4294967361;", ""}};
  for (const auto& [text, expected] : cases) {
    std::vector<char> buffer(text.c_str(), text.c_str() + text.size() + 1);
    EXPECT_EQ(Correcao(buffer.data()), 0);
    EXPECT_EQ(std::string(buffer.data(), text.size()), expected.empty() ? text : expected) << text;
  }
}

TEST(FieldInsertion, NeedsRoomForTheExtraByte) {
  for (std::size_t room : {25, 24}) {
    std::vector<char> area(room + 1, '#');
    std::string("a|b|c|d|e|f|g|h|i|j|xyz").copy(area.data(), 23);
    area[23] = '\0';
    EXPECT_EQ(zunra::insert_empty_field(area.data(), room), room == 25);
    EXPECT_EQ(std::string(area.data()), room == 25 ? "a|b|c|d|e|f|g|h|i|j||xyz" : "a|b|c|d|e|f|g|h|i|j|xyz");
    EXPECT_EQ(area[room], '#');
  }
}

}  // namespace
