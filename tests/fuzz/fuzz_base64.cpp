// The exerciser's Base64 codec against a reference decoder (line feeds
// skipped, '=' ends, other bytes fail, a lone last symbol dropped, capacity
// kept), and encode-then-decode gives the bytes back.
#include "cfe_decoding.h"
#include "fuzz_support.h"

using namespace zunra::fuzz;
using zunra::cli::base64decode;
using zunra::cli::base64encode;

namespace {

int reference_decode(const std::string& in, std::size_t capacity, std::string& out) {
  static const std::string abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  unsigned bits = 0, symbols = 0;
  auto flush = [&](unsigned bytes) {  // the top `bytes` of a 4-symbol group
    if (out.size() + bytes > capacity) return false;
    for (unsigned b = 0; b < bytes; ++b) out += static_cast<char>(bits >> (16 - 8 * b));
    bits = symbols = 0;
    return true;
  };
  for (char c : in) {
    if (c == '\n') continue;
    if (c == '=') break;
    const std::size_t v = c ? abc.find(c) : std::string::npos;
    if (v == std::string::npos) return 1;
    bits = bits << 6 | static_cast<unsigned>(v);
    if (++symbols == 4 && !flush(3)) return 1;
  }
  if (symbols < 2) return 0;
  bits <<= 6 * (4 - symbols);
  return flush(symbols - 1) ? 0 : 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const unsigned slack = in.byte();
  const std::string text = in.rest();
  const auto* raw = reinterpret_cast<const unsigned char*>(text.data());
  const auto len = static_cast<unsigned>(text.size());

  // Capacity from too small to plenty, the buffer exactly that large.
  const unsigned plenty = len * 3 / 4 + 3;
  const unsigned capacity = plenty - std::min(slack % 16u, plenty);
  std::vector<unsigned char> out(capacity ? capacity : 1);
  unsigned out_len = capacity;
  std::string want;
  FUZZ_CHECK(base64decode(text.data(), len, out.data(), &out_len) == reference_decode(text, capacity, want));
  // On failure too, what came before it is kept and reported.
  FUZZ_CHECK(std::string(out.begin(), out.begin() + std::min(out_len, capacity)) == want);
  FUZZ_CHECK(out_len == want.size());

  // Round trip of the input as raw bytes; one byte less room fails.
  const unsigned need = (len + 2) / 3 * 4 + 1;
  std::vector<char> encoded(need);
  FUZZ_CHECK(base64encode(raw, len, encoded.data(), need) == 0 && std::strlen(encoded.data()) == need - 1);
  if (need > 1) FUZZ_CHECK(base64encode(raw, len, std::vector<char>(need - 1).data(), need - 1) == 1);
  std::vector<unsigned char> back(len + 1);
  unsigned back_len = len;
  FUZZ_CHECK(base64decode(encoded.data(), need - 1, back.data(), &back_len) == 0);
  FUZZ_CHECK(back_len == len && std::memcmp(back.data(), text.data(), len) == 0);
  return 0;
}
