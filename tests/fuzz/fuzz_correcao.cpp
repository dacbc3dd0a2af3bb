// Correcao over any document: the length stays, nothing is written past the
// text, only characters inside a reference ("&#" ... ';') change, changed
// ones become blanks except the one in the place of the ';', which is the
// character the reference names (CR as a blank, apostrophe as '`').
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zunra_sat.h"

using namespace zunra::fuzz;

namespace {

// The value of the reference whose ';' is at `semi`, read from the original
// text: "&#x" / "&#X" hexadecimal, "&#" and a digit decimal; -1 when no
// reference ends there.
long value_ending_at(const std::string& in, std::size_t semi, std::size_t& start) {
  for (std::size_t back = 3; back <= 13 && back <= semi; ++back) {
    const std::size_t i = semi - back;
    if (in[i] != '&' || in[i + 1] != '#') continue;
    const bool hex = in[i + 2] == 'x' || in[i + 2] == 'X';
    std::size_t j = hex ? i + 3 : i + 2;
    if (j >= semi) continue;
    long value = 0;
    for (; j < semi; ++j) {
      const char c = in[j];
      int d = -1;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      if (d < 0) break;
      value = value * (hex ? 16 : 10) + d;
      if (value > 0xFFFFFFFFL) value = 0xFFFFFFFFL;  // large enough to stay unchanged
    }
    if (j != semi) continue;
    start = i;
    return value;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  in = in.substr(0, in.find('\0'));  // a C text ends at its first NUL
  std::vector<char> text(in.begin(), in.end());
  text.push_back('\0');  // exactly the text and its NUL: any write past it is caught
  FUZZ_CHECK(Correcao(text.data()) == 0);
  const std::string out(text.data());
  FUZZ_CHECK(out.size() == in.size());
  FUZZ_CHECK(text.back() == '\0');

  // A reference that was decoded: blanks from its '&' up to its ';', whose
  // place holds the character named (which may be a ';' itself).
  auto decoded_at = [&](std::size_t semi) {
    std::size_t start = 0;
    const long value = value_ending_at(in, semi, start);
    FUZZ_CHECK(value > 0 && value <= 127);
    const char want = value == 13 ? ' ' : value == 39 ? '`' : static_cast<char>(value);
    FUZZ_CHECK(out[semi] == want);
    for (std::size_t b = start; b < semi; ++b) FUZZ_CHECK(out[b] == ' ');
  };
  for (std::size_t k = 0; k < in.size(); ++k) {
    if (out[k] == in[k]) continue;
    std::size_t semi = k;
    if (out[k] == ' ' && in[k] != ';') {  // a blank over part of a reference
      while (semi < in.size() && semi < k + 13 && in[semi] != ';') ++semi;
      FUZZ_CHECK(semi < in.size() && in[semi] == ';');
    }
    FUZZ_CHECK(in[semi] == ';');
    decoded_at(semi);
  }
  return 0;
}
