// Transcripts checked against text files in tests/golden/: the console and
// driver-log lines of a scene, timestamps stripped, le_usb read steps left
// out (their number follows the scheduler), the unit's device shown as
// <device>. After a deliberate change of what the driver says, rewrite them
// with ZUNRA_UPDATE_GOLDEN=1 and review the diff before committing it:
//   ZUNRA_UPDATE_GOLDEN=1 ctest --test-dir build -R Transcript
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver_test.h"

namespace zunra::test {

// The console text and the driver-log lines as a transcript section each.
inline std::string transcript(const std::string& console, const std::vector<std::string>& log,
                              const std::string& device) {
  const auto keep = [&](std::string line, std::string& out) {
    if (line.rfind("le_usb", 0) == 0) return;
    for (std::size_t at; !device.empty() && (at = line.find(device)) != std::string::npos;)
      line.replace(at, device.size(), "<device>");
    out += line + "\n";
  };
  std::string out = "== console\n";
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);) keep(line, out);
  out += "== driver log\n";
  for (const std::string& line : log) keep(line, out);
  return out;
}

// Compares `text` with tests/golden/NAME after its comment lines ("# ...",
// which say what the scene is); rewrites the file instead under
// ZUNRA_UPDATE_GOLDEN=1.
inline void expect_golden(const std::string& name, const std::string& about, const std::string& text) {
  const std::string path = std::string(ZUNRA_GOLDEN_DIR) + "/" + name;
  std::string header;
  std::istringstream lines(about);
  for (std::string line; std::getline(lines, line);) header += "# " + line + "\n";
  const char* update = std::getenv("ZUNRA_UPDATE_GOLDEN");
  if (update && *update == '1') {
    std::ofstream(path, std::ios::binary) << header << text;
    return;
  }
  EXPECT_EQ(read_file(path), header + text) << "rewrite with ZUNRA_UPDATE_GOLDEN=1 if the change is meant";
}

}  // namespace zunra::test
