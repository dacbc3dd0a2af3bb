// The exerciser's Base64 codec against a plain reference decoder written
// from the rules (line feeds skipped, '=' ends the data, anything else
// outside the alphabet fails, a lone trailing symbol is dropped, the output
// capacity is never exceeded), and encoding followed by decoding gives the
// bytes back.
#include <cstring>
#include <string>
#include <vector>

#include "cfe_decoding.h"
#include "fuzz_support.h"

using namespace zunra::fuzz;
using zunra::cli::base64decode;
using zunra::cli::base64encode;

namespace {

int symbol_value(unsigned char c) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t at = alphabet.find(static_cast<char>(c));
  return c != 0 && at != std::string::npos ? static_cast<int>(at) : -1;
}

struct Decoded {
  int result = 0;
  std::string bytes;
};

Decoded reference_decode(const std::string& in, std::size_t capacity) {
  Decoded d;
  std::vector<int> group;
  for (unsigned char c : in) {
    if (c == '\n') continue;
    if (c == '=') break;
    const int v = symbol_value(c);
    if (v < 0) {
      d.result = 1;
      return d;
    }
    group.push_back(v);
    if (group.size() == 4) {
      if (d.bytes.size() + 3 > capacity) {
        d.result = 1;
        return d;
      }
      const unsigned n = group[0] << 18 | group[1] << 12 | group[2] << 6 | group[3];
      d.bytes += static_cast<char>(n >> 16);
      d.bytes += static_cast<char>(n >> 8);
      d.bytes += static_cast<char>(n);
      group.clear();
    }
  }
  if (group.size() >= 2) {
    const std::size_t extra = group.size() - 1;
    if (d.bytes.size() + extra > capacity) {
      d.result = 1;
      return d;
    }
    const unsigned n = group[0] << 18 | group[1] << 12 | (group.size() > 2 ? group[2] << 6 : 0);
    d.bytes += static_cast<char>(n >> 16);
    if (extra == 2) d.bytes += static_cast<char>(n >> 8);
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const unsigned slack = in.byte();
  const std::string text = in.rest();

  // Capacity from too small to plenty; the buffer is exactly that large.
  const unsigned plenty = static_cast<unsigned>(text.size() * 3 / 4) + 3;
  const unsigned capacity = plenty - std::min(slack % 16u, plenty);
  std::vector<unsigned char> out(capacity ? capacity : 1);
  unsigned out_len = capacity;
  const int r = base64decode(text.data(), static_cast<unsigned>(text.size()), out.data(), &out_len);
  const Decoded want = reference_decode(text, capacity);
  FUZZ_CHECK(r == want.result);
  // On failure too: what was decoded before it stays and is reported.
  FUZZ_CHECK(out_len == want.bytes.size() && out_len <= capacity);
  FUZZ_CHECK(std::memcmp(out.data(), want.bytes.data(), out_len) == 0);

  // Round trip of the input as raw bytes.
  const unsigned need = static_cast<unsigned>((text.size() + 2) / 3 * 4 + 1);
  std::vector<char> encoded(need);
  FUZZ_CHECK(base64encode(reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<unsigned>(text.size()), encoded.data(), need) == 0);
  FUZZ_CHECK(std::strlen(encoded.data()) == need - 1);
  if (need > 1) {
    std::vector<char> short_buffer(need - 1);
    FUZZ_CHECK(base64encode(reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<unsigned>(text.size()), short_buffer.data(), need - 1) == 1);
  }
  std::vector<unsigned char> back(text.size() + 1);
  unsigned back_len = static_cast<unsigned>(text.size());
  FUZZ_CHECK(base64decode(encoded.data(), need - 1, back.data(), &back_len) == 0);
  FUZZ_CHECK(back_len == text.size() && std::memcmp(back.data(), text.data(), back_len) == 0);
  return 0;
}
