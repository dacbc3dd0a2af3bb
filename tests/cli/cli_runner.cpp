#include "cli_runner.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zunra::test {

namespace fs = std::filesystem;

CliWorkDir::CliWorkDir(const std::string& library) {
  std::string pattern = (fs::temp_directory_path() / "sat_cli_test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  fs::create_directory(settings_dir());
  fs::create_symlink(SAT_CLI_PATH, path_ / "sat_cli");
  if (!library.empty()) fs::create_symlink(library, path_ / "libzunra_sat_rpi.so");
}

CliWorkDir::~CliWorkDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void CliWorkDir::write(const std::string& name, const std::string& content) const {
  std::ofstream(path_ / name, std::ios::binary) << content;
}

std::string CliWorkDir::read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool CliWorkDir::exists(const std::string& name) const { return fs::exists(path_ / name); }

namespace {
std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
}  // namespace

CliResult CliWorkDir::run(const std::vector<std::string>& args, const std::vector<std::string>& env) const {
  // A run that hangs is killed, so that the suite always ends.
  std::string command = "cd " + quoted(path_.string()) + " && env ZUNRA_SAT_DIR=" + quoted(settings_dir().string());
  for (const auto& e : env) command += " " + quoted(e);
  command += " timeout -s KILL 60 ./sat_cli";
  for (const auto& a : args) command += " " + quoted(a);
  command += " 2>" + quoted((settings_dir() / "stderr").string());

  CliResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.out.append(chunk, got);
  const int wstatus = pclose(pipe);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.err = read("settings/stderr");
  return result;
}

}  // namespace zunra::test
