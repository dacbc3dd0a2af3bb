// Decoding of references in sale documents; the room the empty field of a
// cancellation reply needs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery.h"

namespace {

std::string corrected(std::string text) {
  EXPECT_EQ(Correcao(text.data()), 0);
  return text;
}

TEST(Correcao, DecodesReferencesInPlaceAndLeavesEverythingElse) {
  // Each reference turns into blanks and its character where the ';' was;
  // carriage returns become blanks, apostrophes '`'.
  EXPECT_EQ(corrected("M&#x41;RIA &#X41;&#65;&#0065; &#x0D;&#x0d; &#x27;&#39;"),
            "M     ARIA      A    A      A " + std::string(12, ' ') + "      `    `");
  // Beyond ASCII, bad digits, too many digits, no reference at all, a NUL
  // that would cut the document, a value that would wrap into ASCII, no ';'.
  for (const char* text :
       {"&#xE9; &#233; &#x4G; &#6A; &#x0000000041; &#Z; &#x0; &#0; &#4294967361; &#x41", "fim &#"}) {
    EXPECT_EQ(corrected(text), text);
  }
  // A character that would break the XML or the frame (a field bar, the
  // terminator 0x03 or any other control character) stays a reference.
  for (const char* text : {"A&#x26;B &#x3C;x&#x3E; a&#x7C;b &#3;", "&#34;&#x22;&#38;&#60;&#62;&#124;",
                           "&#x1;&#x9;&#xA;&#x1F;"}) {
    EXPECT_EQ(corrected(text), text);
  }
  EXPECT_EQ(corrected("&#x20;&#x21;&#x7E;&#x7F;"), std::string(6, ' ') + "     !     ~     \x7f");
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
