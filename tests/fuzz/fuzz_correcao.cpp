// Correcao: the length stays, only references ("&#...;") change, to blanks
// with the named character (CR a blank, ' a `) in the ';' place; markup, '|'
// and control characters are never produced.
#include <cctype>

#include "fuzz_support.h"
#include "zunra_sat.h"

using namespace zunra::fuzz;

namespace {

// The value of the reference ending at `semi` and where its '&' is; -1 if none.
long value_ending_at(const std::string& in, std::size_t semi, std::size_t& start) {
  for (std::size_t back = 3; back <= 13 && back <= semi; ++back) {
    start = semi - back;
    if (in.compare(start, 2, "&#") != 0) continue;
    const bool hex = in[start + 2] == 'x' || in[start + 2] == 'X';
    const std::string digits = in.substr(start + (hex ? 3 : 2), semi - start - (hex ? 3 : 2));
    bool all = !digits.empty();
    for (unsigned char c : digits) all = all && (hex ? std::isxdigit(c) : std::isdigit(c));
    if (all) return static_cast<long>(std::stoul(digits, nullptr, hex ? 16 : 10));
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string in = Input(data, size).until('\0');
  std::vector<char> text(in.begin(), in.end());
  text.push_back('\0');  // exactly sized: a write past it is caught
  FUZZ_CHECK(Correcao(text.data()) == 0);
  const std::string out(text.data());
  FUZZ_CHECK(out.size() == in.size() && text.back() == '\0');

  for (std::size_t k = 0; k < in.size(); ++k) {
    if (out[k] == in[k]) continue;
    std::size_t semi = k;  // a blank over part of a reference: its ';' follows
    if (out[k] == ' ' && in[k] != ';')
      while (semi < in.size() && semi < k + 13 && in[semi] != ';') ++semi;
    FUZZ_CHECK(semi < in.size() && in[semi] == ';');
    std::size_t start = 0;
    const long value = value_ending_at(in, semi, start);
    FUZZ_CHECK((value >= 32 || value == 13) && value <= 127);
    FUZZ_CHECK(value != '&' && value != '<' && value != '>' && value != '"' && value != '|');
    FUZZ_CHECK(out[semi] == (value == 13 ? ' ' : value == 39 ? '`' : static_cast<char>(value)));
    for (std::size_t b = start; b < semi; ++b) FUZZ_CHECK(out[b] == ' ');
  }
  return 0;
}
