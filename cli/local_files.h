// The files sat_cli reads and writes by name in a technician's directory,
// where a name can turn out to be a pipe, a device or a link left there.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace zunra::cli {

// The whole content of the regular file `name` (a link to one will do).
// Nothing when it cannot be read; `not_regular` then tells whether it was
// there but a pipe, a device, a directory or the like, which is never read.
std::optional<std::vector<char>> read_regular_file(const char* name, bool& not_regular);

// Creates or truncates the regular file `name` in place and writes `data`
// to it, on the disk before it returns. A link, pipe or device of that name
// is left as it is. False when the file was not written whole.
bool write_regular_file(const char* name, const char* data, std::size_t size);

}  // namespace zunra::cli
