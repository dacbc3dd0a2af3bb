// SHA-256 of a document, for the fiscal journal: it names the document a
// sale or cancellation carried without keeping any of its content.
#pragma once

#include <cstddef>
#include <string>

namespace zunra {

// The 64 lower-case hexadecimal digits of the SHA-256 of `size` bytes.
std::string sha256_hex(const void* data, std::size_t size);

}  // namespace zunra
