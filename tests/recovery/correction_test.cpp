// Decoding of references in sale documents.
#include <gtest/gtest.h>

#include "recovery.h"

namespace {

std::string corrected(std::string text) {
  EXPECT_EQ(Correcao(text.data()), 0);
  return text;
}

TEST(Correcao, DecodesReferencesInPlaceAndKeepsThoseThatWouldBreakTheXmlOrTheFrame) {
  // Blanks, then the character where the ';' was; CR becomes a blank, an apostrophe '`'.
  EXPECT_EQ(corrected("M&#x41;RIA &#X41;&#65;&#0065; &#x0D;&#x0d; &#x27;&#39;"),
            "M     ARIA      A    A      A " + std::string(12, ' ') + "      `    `");
  EXPECT_EQ(corrected("&#x20;&#x21;&#x7E;&#x7F;"), std::string(6, ' ') + "     !     ~     \x7f");
  // Beyond ASCII, bad or too many digits, NUL, wrapping values, no ';'; and
  // '&', '<', '>', '"', '|', 0x03 and other control characters.
  for (const char* text :
       {"&#xE9; &#233; &#x4G; &#6A; &#x0000000041; &#Z; &#x0; &#0; &#4294967361; &#x41", "fim &#",
        "A&#x26;B &#x3C;x&#x3E; a&#x7C;b &#3;", "&#34;&#x22;&#38;&#60;&#62;&#124;", "&#x1;&#x9;&#xA;&#x1F;"})
    EXPECT_EQ(corrected(text), text);
}

}  // namespace
