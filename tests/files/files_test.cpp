// The files of the shared settings directory as the field leaves them: sat.ini
// or the driver log a FIFO, a link to a device, a directory, unreadable, saved
// by a Windows editor, or someone else's; a log that outgrows its limit while
// two programs write it. Each case is the first SAT call of a fresh process (a
// forked child, some as an unprivileged user) against the simulated unit.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>

#include "../support/driver_test.h"

namespace fs = std::filesystem;
using namespace zunra::test;

namespace {

constexpr uid_t kNobody = 65534;

// What a path is: its type, mode, owner, link target and content, so that
// any change to a target shows.
std::string describe(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  std::string text =
      std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
  if (S_ISLNK(st.st_mode)) text += " -> " + fs::read_symlink(path).string();
  if (S_ISREG(st.st_mode)) text += " [" + read_file(path) + "]";
  if (S_ISDIR(st.st_mode)) text += " " + std::to_string(std::distance(fs::directory_iterator(path), {}));
  return text;
}

struct ChildRun {
  int status = -1;  // exit status, -1 when killed (the alarm: it blocked or spun)
  std::string reply, err;
  double seconds = 0;
};

// Runs `call` as the first SAT call of a new process, as `uid`, with umask
// 077 (the log must be 0664 all the same). Its reply comes back through a
// pipe, its standard error through a file.
ChildRun in_child(uid_t uid, const std::string& dir, const std::function<std::string()>& call) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const std::string err_path = dir + ".err";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::alarm(20);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(err, 2);
    ::umask(077);
    reset_settings("");  // nothing loaded yet, as at the start of a program
    if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) _exit(90);
    const std::string reply = call();
    if (::write(fds[1], reply.data(), reply.size()) < 0) _exit(91);
    _exit(0);
  }
  ::close(fds[1]);
  ChildRun run;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) run.reply.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = read_file(err_path);
  ::unlink(err_path.c_str());
  return run;
}

std::string reply_code(const std::string& reply) {
  const auto bar = reply.find('|');
  return bar == std::string::npos ? "" : reply.substr(bar + 1, 5);
}

class Files : public ::testing::Test, public DriverEnvironment {
 protected:
  Files() {
    // An unprivileged child must reach the directory and the unit.
    ::chmod(dir().c_str(), 0777);
    ::chmod(unit().path().c_str(), 0666);
  }
  std::string at(const std::string& name) const { return dir() + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(at(name), std::ios::binary) << text;
  }
  std::string settings_to_unit(const std::string& more = "") const {
    return "[DEFAULT]\nSERIAL=" + const_cast<Files*>(this)->unit().path() + "\nDEBUG=true\n" + more;
  }
};

}  // namespace

TEST_F(Files, HostileFilesNeitherHoldTheFirstCallNorChange) {
  const std::string victim = dir() + "/../" + fs::path(dir()).filename().string() + ".victim";
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::vector<std::string> targets;  // none of them may change
    uid_t uid;
    const char* code;  // the reply's: 08000 from the unit, 08098 with the built-in device
    int log_errors;    // lines on standard error about the log
  };
  const std::string log = "lib_zunra_dorvex.log";
  const Case cases[] = {
      {"sat.ini is a FIFO", [&] { ::mkfifo(at("sat.ini").c_str(), 0666); }, {at("sat.ini")}, 0, "08098", 0},
      {"sat.ini links to /dev/zero",
       [&] { fs::create_symlink("/dev/zero", at("sat.ini")); },
       {at("sat.ini"), "/dev/zero"},
       0,
       "08098",
       0},
      {"sat.ini links to /dev/urandom",
       [&] { fs::create_symlink("/dev/urandom", at("sat.ini")); },
       {at("sat.ini"), "/dev/urandom"},
       0,
       "08098",
       0},
      {"sat.ini is a directory",
       [&] { fs::create_directory(at("sat.ini")); },
       {at("sat.ini")},
       0,
       "08098",
       0},
      {"sat.ini unreadable",
       [&] {
         write("sat.ini", settings_to_unit());
         ::chmod(at("sat.ini").c_str(), 0600);
       },
       {at("sat.ini")},
       kNobody,
       "08098",
       0},
      {"sat.ini starts with a byte-order mark",
       [&] { write("sat.ini", "\xEF\xBB\xBF" + settings_to_unit()); },
       {at("sat.ini")},
       kNobody,
       "08000",
       0},
      {"the log links elsewhere",
       [&] {
         write("sat.ini", settings_to_unit());
         std::ofstream(victim) << "victim\n";
         fs::create_symlink(victim, at(log));
       },
       {at(log), victim},
       0,
       "08000",
       1},
      {"the log is a FIFO",
       [&] {
         write("sat.ini", settings_to_unit());
         ::mkfifo(at(log).c_str(), 0666);
       },
       {at(log)},
       0,
       "08000",
       1},
      {"the log is root's, closed to others",
       [&] {
         write("sat.ini", settings_to_unit());
         write(log, "root's line\n");
         ::chmod(at(log).c_str(), 0644);
       },
       {at(log)},
       kNobody,
       "08000",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry);
    fs::remove(victim);
    c.plant();
    std::vector<std::string> before;
    for (const auto& t : c.targets) before.push_back(describe(t));

    const ChildRun run = in_child(c.uid, dir(), [] { return std::string(ConsultarSAT(7)); });
    EXPECT_EQ(run.status, 0) << "the call blocked or spun";
    EXPECT_LT(run.seconds, 3.0);
    EXPECT_EQ(reply_code(run.reply), c.code) << run.reply;
    for (std::size_t i = 0; i < c.targets.size(); ++i) EXPECT_EQ(describe(c.targets[i]), before[i]);
    // Said once, however many lines the call logged, and on standard error only.
    const std::regex said("EnviaLog: Erro ao abrir o arquivo de logs " + dir() + "/" + log + ": [^\n]+\n");
    EXPECT_EQ(run.err.empty() ? 0 : std::regex_match(run.err, said) ? 1 : -1, c.log_errors) << run.err;
  }
  fs::remove(victim);
}

TEST_F(Files, LogIsCreatedGroupWritableWhateverTheUmask) {
  write("sat.ini", settings_to_unit());
  const ChildRun run = in_child(kNobody, dir(), [] { return std::string(ConsultarSAT(7)); });
  EXPECT_EQ(reply_code(run.reply), "08000");
  struct stat st;
  ASSERT_EQ(::lstat(at("lib_zunra_dorvex.log").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0664u);
  EXPECT_EQ(st.st_uid, kNobody);
}

TEST_F(Files, LogRotatesOnceUnderTwoWritersWithoutLosingOrTearingALine) {
  // Two programs log 500 lines each against a 64 KiB limit: about 100 KB in
  // all, so the log is rotated once. Every line ends up whole in the log or
  // in its old generation, and neither holds more than the limit and a line.
  write("sat.ini", "[DEFAULT]\nLOG_MAX_KB=64\n");
  constexpr int kLines = 500;
  const std::string padding(70, '.');
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> writers;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      reset_settings("");
      init_lib();
      // Both start writing when the pipe closes.
      ::close(start[1]);
      char none;
      if (::read(start[0], &none, 1) != 0) _exit(1);
      for (int i = 0; i < kLines; ++i)
        EnviaLog(("p" + std::to_string(p) + " line " + std::to_string(i) + " ").c_str(), padding.c_str());
      _exit(0);
    }
    writers.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);

  const std::string current = read_file(at("lib_zunra_dorvex.log")),
                    old = read_file(at("lib_zunra_dorvex.log.1"));
  const std::size_t limit = 64 * 1024, longest = sizeof "06-12-2026 20:41:00: p1 line 499 " + padding.size();
  EXPECT_LE(current.size(), limit + longest);
  EXPECT_GE(old.size(), limit);
  EXPECT_LE(old.size(), limit + longest);
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
