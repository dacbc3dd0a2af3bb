// The empty field a cancellation reply of exactly ten '|' gains, over any
// text and any buffer size: the '|' goes right after the tenth one and
// nothing else moves but the tail; any other text, or one without room for
// the extra byte, stays exactly as it was; nothing is written past the buffer.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "recovery.h"

using namespace zunra::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::size_t spare = in.byte() % 4;  // room after the text's NUL: 0..3 bytes
  std::string text = in.rest();
  text = text.substr(0, text.find('\0'));
  const std::size_t capacity = text.size() + 1 + spare;
  std::vector<char> buffer(capacity, '\x7f');
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);

  const bool inserted = zunra::insert_empty_field(buffer.data(), capacity);
  const std::size_t bars = static_cast<std::size_t>(std::count(text.begin(), text.end(), '|'));
  std::string want = text;
  if (bars == 10 && spare >= 1) {
    std::size_t at = 0;
    for (int seen = 0; seen < 10; ++at)
      if (text[at] == '|') ++seen;
    want.insert(at, "|");
  }
  FUZZ_CHECK(inserted == (want != text));
  FUZZ_CHECK(std::string(buffer.data()) == want);
  return 0;
}
