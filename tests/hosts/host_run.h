// Runs a host program of this folder as a process of its own, the way a till
// starts: settings directory ZUNRA_SAT_DIR, a time limit, its output kept.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zunra::test {

inline std::string file_text(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// sat.ini in `dir` naming the unit's device, with more [DEFAULT] lines.
inline void write_host_settings(const std::string& dir, const std::string& device,
                                const std::string& more = "") {
  std::ofstream(dir + "/sat.ini") << "[DEFAULT]\nSERIAL=" << device << "\n" << more;
}

struct HostRun {
  int status;  // exit status; 128 + n when signal n ended it (134 abort, 139 segmentation fault)
  std::string out, err;
};

// Runs HOSTS_DIR/program with `args` in `dir`, with more environment
// settings `env` ("NAME=value ..."); killed after two minutes.
inline HostRun run_host(const std::string& dir, const std::string& program, const std::string& args = "",
                        const std::string& env = "") {
  const std::string command = "cd " + dir + " && " + env + " ZUNRA_SAT_DIR=" + dir +
                              " timeout -s KILL 120 " ZUNRA_TEST_EMULATOR " " HOSTS_DIR "/" + program + " " +
                              args + " >out 2>err";
  const int raw = std::system(command.c_str());
  const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return {status, file_text(dir + "/out"), file_text(dir + "/err")};
}

}  // namespace zunra::test
