// Runs the real sat_cli as a technician does: "./sat_cli ..." in a temporary
// working directory holding ./libzunra_sat_rpi.so, config.ini and CF-e files,
// with ZUNRA_SAT_DIR in it too.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zunra::test {

struct CliResult {
  std::string out, err;
  int status = -1;  // -1 when it did not exit normally
};

class CliWorkDir {
 public:
  explicit CliWorkDir(const std::string& library) {  // no ./libzunra_sat_rpi.so when empty
    std::string pattern = "/tmp/sat_cli_test.XXXXXX";
    path_ = mkdtemp(pattern.data());
    std::filesystem::create_directory(path_ / "settings");
    std::filesystem::create_symlink(SAT_CLI_PATH, path_ / "sat_cli");
    if (!library.empty()) std::filesystem::create_symlink(library, path_ / "libzunra_sat_rpi.so");
  }
  ~CliWorkDir() { std::filesystem::remove_all(path_); }
  CliWorkDir(const CliWorkDir&) = delete;
  CliWorkDir& operator=(const CliWorkDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  bool exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }
  std::string read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(path_ / name, std::ios::binary).rdbuf();
    return text.str();
  }

  // env entries ("NAME=value") are added to the environment; a run that
  // hangs is killed, so the suite always ends.
  CliResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
    std::string command = "cd " + quoted(path_) + " && env ZUNRA_SAT_DIR=" + quoted(path_ / "settings");
    for (const auto& e : env) command += " " + quoted(e);
    command += " timeout -s KILL 60 " ZUNRA_TEST_EMULATOR " ./sat_cli";
    for (const auto& a : args) command += " " + quoted(a);
    command += " 2>" + quoted(path_ / "settings/stderr");
    CliResult result;
    FILE* pipe = popen(command.c_str(), "r");
    char chunk[4096];
    for (size_t got; pipe && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.out.append(chunk, got);
    const int wstatus = pipe ? pclose(pipe) : -1;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.err = read("settings/stderr");
    return result;
  }

 private:
  static std::string quoted(const std::filesystem::path& text) {
    std::string q = "'";
    for (char c : text.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  std::filesystem::path path_;
};

}  // namespace zunra::test
