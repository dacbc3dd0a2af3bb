// The files of the shared settings directory as the field leaves them, each met
// by the first SAT call of a fresh process (a forked child, some as nobody).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "../support/driver_test.h"

namespace fs = std::filesystem;
using namespace zunra::test;

namespace {

constexpr uid_t kNobody = 65534;
const std::string kLog = "lib_zunra_dorvex.log";

// Type, mode, owner, link target and content, so that any change shows.
std::string describe(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  std::string text =
      std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
  if (S_ISLNK(st.st_mode)) text += " -> " + fs::read_symlink(path).string();
  if (S_ISREG(st.st_mode)) text += " [" + read_file(path) + "]";
  return text;
}

// ConsultarSAT as the first call of a new process run as `uid` with umask 077,
// killed after 3 s (it blocked or spun). Returns the reply code's last two
// digits (00 from the unit, 98 with the built-in device; -1 killed) and stderr.
std::pair<int, std::string> first_call(uid_t uid, const std::string& dir) {
  const std::string err_path = dir + ".err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(3);
    ::dup2(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
    ::umask(077);
    reset_settings("");
    if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) _exit(90);
    const std::string reply = ConsultarSAT(7);
    _exit(reply.find("|080") == 6 ? std::stoi(reply.substr(10, 2)) : 99);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::string err = read_file(err_path);
  ::unlink(err_path.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

class Files : public ::testing::Test, public DriverEnvironment {
 protected:
  Files() {
    ::chmod(dir().c_str(), 0777);  // an unprivileged child must reach both
    ::chmod(unit().path().c_str(), 0666);
  }
  std::string at(const std::string& name) const { return dir() + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(at(name), std::ios::binary) << text;
  }
  void settings(const std::string& prefix = "") {
    write("sat.ini", prefix + "[DEFAULT]\nSERIAL=" + unit().path() + "\nDEBUG=true\n");
  }
};

}  // namespace

TEST_F(Files, HostileFilesNeitherHoldTheFirstCallNorChange) {
  const std::string victim = dir() + ".victim";
  struct Case {
    std::string file, kind;  // a kind starting with '/' is a link to there
    uid_t uid;
    int code;
    bool log_error;  // one line on standard error about the log
  };
  const Case cases[] = {{"sat.ini", "fifo", 0, 98, false},
                        {"sat.ini", "/dev/zero", 0, 98, false},
                        {"sat.ini", "/dev/urandom", 0, 98, false},
                        {"sat.ini", "dir", 0, 98, false},
                        {"sat.ini", "0600", kNobody, 98, false},
                        {"sat.ini", "bom", kNobody, 0, false},
                        {kLog, victim, 0, 0, true},
                        {kLog, "fifo", 0, 0, true},
                        {kLog, "0644", kNobody, 0, true}};
  const std::regex said("EnviaLog: Erro ao abrir o arquivo de logs " + at(kLog) + ": [^\n]+\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.kind);
    for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry);
    std::ofstream(victim) << "victim\n";
    settings(c.kind == "bom" ? "\xEF\xBB\xBF" : "");
    if (c.file == "sat.ini" && c.kind != "0600" && c.kind != "bom") fs::remove(at(c.file));
    if (c.kind == "fifo") ::mkfifo(at(c.file).c_str(), 0666);
    if (c.kind == "dir") fs::create_directory(at(c.file));
    if (c.kind[0] == '/') fs::create_symlink(c.kind, at(c.file));
    if (c.kind == "0644") write(c.file, "root's\n");
    if (isdigit(c.kind[0])) ::chmod(at(c.file).c_str(), std::stoi(c.kind, nullptr, 8));
    auto state = [&] {
      return describe(at(c.file)) + describe(victim) + (c.kind[0] == '/' ? describe(c.kind) : "");
    };
    const std::string before = state();
    const auto [code, err] = first_call(c.uid, dir());
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(state(), before);
    // Said once, however many lines the call logged, and on standard error only.
    EXPECT_TRUE(c.log_error ? std::regex_match(err, said) : err.empty()) << err;
  }
  fs::remove(victim);

  // A new log is 0664 and its writer's, whatever the umask.
  for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry);
  settings();
  EXPECT_EQ(first_call(kNobody, dir()).first, 0);
  struct stat st;
  ASSERT_EQ(::lstat(at(kLog).c_str(), &st), 0);
  EXPECT_EQ(std::pair(st.st_mode, st.st_uid), std::pair(S_IFREG | 0664u, kNobody));
}

TEST_F(Files, LogRotatesOnceUnderTwoWritersWithoutLosingOrTearingALine) {
  // 2 × 500 lines, about 100 KB, against a 64 KiB limit: one rotation.
  write("sat.ini", "[DEFAULT]\nLOG_MAX_KB=64\n");
  constexpr int kLines = 500;
  const std::string padding(70, '.');
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  pid_t writers[2];
  for (int p = 0; p < 2; ++p) {
    if ((writers[p] = ::fork()) == 0) {
      reset_settings("");
      init_lib();
      ::close(start[1]);
      char none;
      if (::read(start[0], &none, 1) != 0) _exit(1);  // both start when the pipe closes
      for (int i = 0; i < kLines; ++i)
        EnviaLog(("p" + std::to_string(p) + " line " + std::to_string(i) + " ").c_str(), padding.c_str());
      _exit(0);
    }
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);

  const std::string current = read_file(at(kLog)), old = read_file(at(kLog + ".1"));
  const std::size_t limit = 64 * 1024, longest = sizeof "06-12-2026 20:41:00: p1 line 499 " + padding.size();
  EXPECT_LE(current.size(), limit + longest);
  EXPECT_TRUE(old.size() >= limit && old.size() <= limit + longest) << old.size();
  std::set<std::string> seen;
  const std::regex line("\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d: (p[01] line \\d+) \\.{70}");
  std::istringstream in(old + current);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << "torn: " << text;
    EXPECT_TRUE(seen.insert(m[1]).second) << "twice: " << text;
  }
  EXPECT_EQ(seen.size(), 2u * kLines) << "lines lost";
}
