// A reply of exactly ten '|' gains a '|' after the tenth when there is room;
// any other text stays as it was; nothing is written past the buffer.
#include "fuzz_support.h"
#include "recovery.h"

using namespace zunra::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::size_t spare = in.byte() % 4;  // room after the text's NUL: 0..3 bytes
  const std::string text = in.until('\0');
  std::vector<char> buffer(text.size() + 1 + spare, '\x7f');
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);

  std::string want = text;
  if (std::count(text.begin(), text.end(), '|') == 10 && spare >= 1) want.insert(text.rfind('|') + 1, "|");
  FUZZ_CHECK(zunra::insert_empty_field(buffer.data(), buffer.size()) == (want != text));
  FUZZ_CHECK(std::string(buffer.data()) == want);
  return 0;
}
