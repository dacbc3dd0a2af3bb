// Runs the real sat_cli the way a technician does: "./sat_cli ..." inside a
// working directory that holds the library, config.ini and the CF-e files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zunra::test {

struct CliResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status; -1 when it did not exit normally
};

class CliWorkDir {
 public:
  // A fresh temporary directory with ./sat_cli, and ./libzunra_sat_rpi.so
  // linked to library unless library is empty. ZUNRA_SAT_DIR points into it.
  explicit CliWorkDir(const std::string& library);
  ~CliWorkDir();
  CliWorkDir(const CliWorkDir&) = delete;
  CliWorkDir& operator=(const CliWorkDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path settings_dir() const { return path_ / "settings"; }
  void write(const std::string& name, const std::string& content) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

  // Runs ./sat_cli with args; env entries ("NAME=value") are added to ours.
  CliResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const;

 private:
  std::filesystem::path path_;
};

}  // namespace zunra::test
