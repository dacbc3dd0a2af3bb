#include "cfe_decoding.h"

#include <array>
#include <cstdio>
#include <vector>

namespace zunra::cli {

namespace {

constexpr unsigned char kSkip = 64;
constexpr unsigned char kEnd = 65;
constexpr unsigned char kInvalid = 66;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<unsigned char, 256> make_decoding_table() {
  std::array<unsigned char, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  table['\n'] = kSkip;
  table['='] = kEnd;
  return table;
}
constexpr auto kDecode = make_decoding_table();

constexpr char kDashes[] = "\n----------------------------------------------------------------------";

int print_receipt(const char* reply, const char* key_format, const char* receipt_format) {
  const std::string_view text(reply);
  const std::string_view encoded = reply_field(text, 6);
  // The key buffer holds 128 bytes: a key of at most 126 characters.
  const std::string key = reply_field_cut(text, 8, 128);

  std::vector<unsigned char> decoded(text.size() + 1);
  unsigned written = static_cast<unsigned>(text.size());
  base64decode(encoded.data(), static_cast<unsigned>(encoded.size()), decoded.data(), &written);
  decoded[written] = 0;

  printf(key_format, key.c_str());
  printf("%s\n", kDashes);
  printf(receipt_format, reinterpret_cast<const char*>(decoded.data()));
  printf("%s\n\n", kDashes);
  return 0;
}

}  // namespace

std::string_view reply_field(std::string_view reply, int n) {
  std::size_t start = 0;
  for (int i = 0; i < n; ++i) {
    const std::size_t bar = reply.find('|', start);
    if (bar == std::string_view::npos) return {};
    start = bar + 1;
  }
  const std::size_t end = reply.find('|', start);
  return reply.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::string reply_field_cut(std::string_view reply, int n, std::size_t buffer_size) {
  return std::string(reply_field(reply, n).substr(0, buffer_size - 2));
}

int base64decode(const char* in, unsigned in_len, unsigned char* out, unsigned* out_len) {
  const unsigned capacity = *out_len;
  unsigned long accumulator = 0;
  int pending = 0;
  unsigned written = 0;
  auto fail = [&] {
    *out_len = written;
    return 1;
  };

  for (unsigned i = 0; i < in_len; ++i) {
    const unsigned char value = kDecode[static_cast<unsigned char>(in[i])];
    if (value == kSkip) continue;
    if (value == kInvalid) return fail();
    if (value == kEnd) break;
    accumulator = ((accumulator << 6) | value) & 0xFFFFFFu;
    if (++pending == 4) {
      if (written + 3 > capacity) return fail();
      out[written++] = static_cast<unsigned char>(accumulator >> 16);
      out[written++] = static_cast<unsigned char>(accumulator >> 8);
      out[written++] = static_cast<unsigned char>(accumulator);
      accumulator = 0;
      pending = 0;
    }
  }
  if (pending == 3) {
    if (written + 2 > capacity) return fail();
    out[written++] = static_cast<unsigned char>(accumulator >> 10);
    out[written++] = static_cast<unsigned char>(accumulator >> 2);
  } else if (pending == 2) {
    if (written + 1 > capacity) return fail();
    out[written++] = static_cast<unsigned char>(accumulator >> 4);
  }
  *out_len = written;
  return 0;
}

int base64encode(const unsigned char* in, unsigned in_len, char* out, unsigned out_capacity) {
  unsigned position = 0;
  auto put = [&](char c) {
    if (position >= out_capacity) return false;
    out[position++] = c;
    return true;
  };

  for (unsigned i = 0; i < in_len; i += 3) {
    const unsigned left = in_len - i;
    unsigned long group = static_cast<unsigned long>(in[i]) << 16;
    if (left > 1) group |= static_cast<unsigned long>(in[i + 1]) << 8;
    if (left > 2) group |= in[i + 2];
    if (!put(kAlphabet[(group >> 18) & 63]) || !put(kAlphabet[(group >> 12) & 63])) return 1;
    if (left > 1 && !put(kAlphabet[(group >> 6) & 63])) return 1;
    if (left > 2 && !put(kAlphabet[group & 63])) return 1;
  }
  for (unsigned pad = (3 - in_len % 3) % 3; pad > 0; --pad) {
    if (!put('=')) return 1;
  }
  return put('\0') ? 0 : 1;
}

int TrataCFe(const char* reply) {
  return print_receipt(reply, "\nChave CFe: %s\n", "\nCFe: %s\n\n");
}

int TrataCFeCanc(const char* reply) {
  return print_receipt(reply, "\nChave CFeCanc: %s\n", "\nCFeCanc: %s\n\n");
}

}  // namespace zunra::cli
