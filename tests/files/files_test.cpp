// The settings directory as the field leaves it, met by a fresh process's first SAT call.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>

#include "../support/driver_test.h"

namespace fs = std::filesystem;
using namespace zunra::test;

constexpr uid_t kNobody = 65534, kTillUser = 4242;
const std::string kLog = "lib_zunra_dorvex.log";

// Type, mode, owner, link target and content.
static std::string describe(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  auto s = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
  return s + (S_ISLNK(st.st_mode)   ? fs::read_symlink(path).string()
              : S_ISREG(st.st_mode) ? read_file(path)
                                    : "");
}

// Last two digits of ConsultarSAT's 080xx reply code; 99 for any other reply.
static int consultar_code(int session) {
  const std::string reply = ConsultarSAT(session);
  return reply.find("|080") == 6 ? std::stoi(reply.substr(10, 2)) : 99;
}

static gid_t dialout() {
  return ::getgrnam("dialout") ? ::getgrnam("dialout")->gr_gid : 20;
}

// `calls` in a fresh child as `uid` (a member of dialout unless told
// otherwise), umask 077: their exit code (-1 killed) and standard error.
static std::pair<int, std::string> in_child(uid_t uid, const std::string& dir,
                                            const std::function<int()>& calls, bool in_dialout = true) {
  const std::string err_path = dir + ".err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(3), ::umask(077), reset_settings("");
    ::dup2(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
    const gid_t group = dialout();
    if (uid != 0 && (::setgroups(in_dialout, &group) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
      _exit(90);
    _exit(calls());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::string err = read_file(err_path);
  return ::unlink(err_path.c_str()), std::pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, err);
}

// The first call's code; a reload and a second call say nothing new.
static std::pair<int, std::string> first_call(uid_t uid, const std::string& dir) {
  return in_child(uid, dir, [] {
    const int code = consultar_code(7);
    init_lib();
    consultar_code(8);
    return code;
  });
}

class Files : public ::testing::Test, public DriverEnvironment {
 protected:
  // An unprivileged child must reach both, and lock the unit.
  Files() { ::chmod(dir().c_str(), 0777), ::chmod(unit().path().c_str(), 0666); }
  ScopedLockDir locks_{dialout()};
  std::string at(const std::string& name) const { return dir() + "/" + name; }
  void write(const std::string& name, const std::string& text) const { std::ofstream(at(name)) << text; }
  void settings(const std::string& prefix = "") {
    write("sat.ini", prefix + "[DEFAULT]\nSERIAL=" + unit().path() + "\nDEBUG=true\n");
  }
};

TEST_F(Files, HostileFilesNeitherHoldTheFirstCallNorChange) {
  const std::string victim = dir() + ".victim";
  const std::string log_error = "EnviaLog: Erro ao abrir o arquivo de logs " + at(kLog) + ": [^\n]+\n";
  const std::string ini_error = "Erro ao ler o arquivo de configuracao " + at("sat.ini") + ": ";
  const std::string not_a_file = ini_error + "nao e um arquivo comum; valores padrao em uso\n";
  // File, kind (one starting with '/' is a link to there), uid, code, what stderr says once.
  const std::tuple<std::string, std::string, uid_t, int, std::string> cases[] = {
      {"sat.ini", "fifo", 0, 98, not_a_file},
      {"sat.ini", "/dev/zero", 0, 98, not_a_file},
      {"sat.ini", "dir", 0, 98, not_a_file},
      {"sat.ini", "0600", kNobody, 98, ini_error + "Permission denied; valores padrao em uso\n"},
      {"sat.ini", "bom", kNobody, 0, ""},
      {kLog, victim, 0, 0, log_error},
      {kLog, "fifo", 0, 0, log_error},
      {kLog, "0644", kNobody, 0, log_error}};
  for (const auto& [file, kind, uid, code, said] : cases) {
    SCOPED_TRACE(file + " " + kind);
    for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry);
    std::ofstream(victim) << "victim\n";
    settings(kind == "bom" ? "\xEF\xBB\xBF" : "");
    if (file == "sat.ini" && kind != "0600" && kind != "bom") fs::remove(at(file));
    if (kind == "fifo") ::mkfifo(at(file).c_str(), 0666);
    if (kind == "dir") fs::create_directory(at(file));
    if (kind[0] == '/') fs::create_symlink(kind, at(file));
    if (kind == "0644") write(file, "root's\n");
    if (isdigit(kind[0])) ::chmod(at(file).c_str(), std::stoi(kind, nullptr, 8));
    auto state = [&, path = at(file), link = kind[0] == '/' ? kind : ""] {
      return describe(path) + describe(victim) + (link.empty() ? "" : describe(link));
    };
    const std::string before = state();
    const auto [got, err] = first_call(uid, dir());
    EXPECT_EQ(got, code);
    EXPECT_EQ(state(), before);
    EXPECT_TRUE(file == kLog ? std::regex_match(err, std::regex(said)) : err == said) << err;
  }
  // A new log is 0660 and its writer's, whatever the umask.
  fs::remove(victim);
  for (const auto& entry : fs::directory_iterator(dir())) fs::remove_all(entry);
  settings();
  EXPECT_EQ(first_call(kNobody, dir()).first, 0);
  EXPECT_EQ(describe(at(kLog)).substr(0, 12), std::to_string(S_IFREG | 0660) + " 65534:");
}

TEST_F(Files, LogIsTheGroupsAloneAndAnOutsidersLockNeitherDelaysNorGrowsIt) {
  // The directory as the package makes it; a log past its 16 KiB limit that
  // an earlier version left 0664, which `nobody`, outside dialout, opened and holds locked.
  ::chown(dir().c_str(), 0, dialout()), ::chmod(dir().c_str(), 02775);
  write("sat.ini", "[DEFAULT]\nSERIAL=" + unit().path() + "\nDEBUG=true\nLOG_MAX_KB=16\n");
  const std::string old = "root's old log\n" + std::string(17000, '.') + "\n";
  for (const bool closed_since : {true, false}) {
    SCOPED_TRACE(closed_since ? "closed by the package since" : "left open");
    fs::remove(at(kLog)), fs::remove(at(kLog + ".1"));
    write(kLog, old);
    ::chown(at(kLog).c_str(), 0, dialout()), ::chmod(at(kLog).c_str(), 0664);
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready) | ::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
      ::alarm(10), ::close(ready[0]), ::close(release[1]);
      if (::setgroups(0, nullptr) || ::setgid(kNobody) || ::setuid(kNobody)) _exit(1);
      const int fd = ::open(at(kLog).c_str(), O_RDONLY);
      char c = 'x';
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], &c, 1) != 1) _exit(1);
      _exit(::read(release[0], &c, 1) == 0 ? 0 : 1);  // until the test closes its end
    }
    ::close(ready[1]), ::close(release[0]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1) << "nobody could not lock the log";
    if (closed_since) ::chmod(at(kLog).c_str(), 0660);

    const auto start = std::chrono::steady_clock::now();
    const auto [got, err] = in_child(kTillUser, dir(), [] { return consultar_code(7); });
    const auto took_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    ::close(release[1]), ::close(ready[0]);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(err, "");
    EXPECT_LT(took_ms, 1000) << "each line waited for nobody's lock";
    // The lines of the settings' loading go first, under the built-in limit.
    EXPECT_EQ(read_file(at(kLog + ".1")).substr(0, old.size()), old) << "the size limit did not hold";
    struct stat st {};
    ::stat(at(kLog).c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, dialout());
    EXPECT_NE(read_file(at(kLog)).find("Resposta de ConsultarSAT: 000007|08000"), std::string::npos);
    const auto read_by_nobody = [&] { return ::open(at(kLog).c_str(), O_RDONLY) < 0 && errno == EACCES; };
    EXPECT_EQ(in_child(kNobody, dir(), read_by_nobody, false).first, 1) << "the log is readable by others";
  }
}

TEST_F(Files, SettingsMissedForWantOfDescriptorsAreReadAtTheNextCall) {
  settings();
  const auto [got, err] = in_child(0, dir(), [] {
    // Every descriptor the limit allows is taken: the lowest free one is the limit.
    const int lowest = ::open("/dev/null", O_RDONLY);
    ::close(lowest);
    rlimit old, none;
    ::getrlimit(RLIMIT_NOFILE, &old);
    none = {static_cast<rlim_t>(lowest), old.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &none);
    const bool fell_back = consultar_code(7) == 98;
    ::setrlimit(RLIMIT_NOFILE, &old);
    return fell_back + 2 * (consultar_code(8) == 0);
  });
  EXPECT_EQ(got, 3) << "1: the starved call fell back; 2: the next one found the unit of sat.ini";
  EXPECT_EQ(err, "");
}

TEST_F(Files, LogRotatesOnceUnderTwoWritersWithoutLosingOrTearingALine) {
  // 2 × 500 lines, about 100 KB, against a 64 KiB limit: one rotation.
  write("sat.ini", "[DEFAULT]\nLOG_MAX_KB=64\n");
  constexpr int kLines = 500;
  const std::string padding(70, '.');
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  for (int p = 0; p < 2; ++p) {
    if (::fork() == 0) {
      reset_settings(""), init_lib(), ::close(start[1]);
      char none;
      if (::read(start[0], &none, 1) != 0) _exit(1);  // both start when the pipe closes
      for (int i = 0; i < kLines; ++i)
        EnviaLog(("p" + std::to_string(p) + " line " + std::to_string(i) + " ").c_str(), padding.c_str());
      _exit(0);
    }
  }
  ::close(start[0]), ::close(start[1]);
  ::wait(nullptr), ::wait(nullptr);
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
