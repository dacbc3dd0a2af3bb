// Reading the unit's replies: the field rule, the Base64 codec and the
// printers of the receipts that sale and cancellation replies carry.
#pragma once

#include <string>
#include <string_view>

namespace zunra::cli {

// Field 0 is the text before the first '|', field n the text after the n-th
// '|' up to the next one; a field past the last '|' is empty.
std::string_view reply_field(std::string_view reply, int n);

// The field cut to what a buffer of buffer_size bytes of the exerciser holds
// (two bytes short of the buffer, as every reply buffer is sized).
std::string reply_field_cut(std::string_view reply, int n, std::size_t buffer_size);

// Decodes Base64: line feeds are skipped, '=' ends the data, any other byte
// outside the alphabet fails. *out_len is the capacity on entry and the
// number of bytes written on return, also when decoding failed part-way.
// Returns 0 on success, 1 on an invalid byte or a full output buffer.
int base64decode(const char* in, unsigned in_len, unsigned char* out, unsigned* out_len);

// Encodes with '=' padding and a terminating zero; 1 when it does not fit.
int base64encode(const unsigned char* in, unsigned in_len, char* out, unsigned out_capacity);

// Print the access key and the decoded receipt of a sale (or cancellation)
// reply; the receipt is decoded whatever the reply code. Always 0.
int TrataCFe(const char* reply);
int TrataCFeCanc(const char* reply);

}  // namespace zunra::cli
