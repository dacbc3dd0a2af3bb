// The INI module against real files in a scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "ini_file.h"
#include "zunra_sat.h"  // both headers together must compile

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

class Ini : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ini_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("ZUNRA_SAT_DIR", tmpl, 1);
    file = dir + "/t.ini";
  }
  void TearDown() override { fs::remove_all(dir); }
  void put(const std::string& text, const std::string& name = "t.ini") {
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
  }
  std::string text(const std::string& name = "t.ini") {
    return (std::stringstream() << std::ifstream(dir + "/" + name, std::ios::binary).rdbuf()).str();
  }
  std::string gets(const char* section, const char* key, const char* def = "", int size = 512) {
    char buffer[512];
    ini_gets(section, key, def, buffer, size, f());
    return buffer;
  }
  const char* f() { return file.c_str(); }
  Strings entries() {  // names in the scratch directory, sorted
    Strings names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  static int in_child(const std::function<int()>& fn) {  // fn's result as the exit status
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string dir, file;
};

TEST_F(Ini, NameMatchingAndItsTraps) {
  put("top=1\n[DEFAULT]\r\nSERIAL = /dev/ttyS0\r\n;k=c1\n#k=c2\na:b=c\nname: x\n[\nlate=1\n"
      "[ DEFAULT ]\nk=inner\n[dup]\nk=first\n[DUP]\nk=second\nother=2\n");
  EXPECT_EQ(gets("default", "serial"), "/dev/ttyS0") << "case, blanks around '=', CR LF";
  EXPECT_EQ(gets("DEFAULT", "k", "-"), "-") << "comments are not keys";
  EXPECT_EQ(gets("DEFAULT", "a:b") + gets("DEFAULT", "name"), "cx") << "'=' before ':'";
  EXPECT_EQ(gets("DEFAULT", "late", "-"), "-") << "a lone '[' ends the section";
  EXPECT_EQ(gets(" DEFAULT ", "k"), "inner") << "blanks inside brackets belong to the name";
  EXPECT_EQ(gets("dup", "other", "-") + gets("DUP", "k"), "-first") << "only the first section counts";
  EXPECT_EQ(gets(nullptr, "top") + gets("", "top") + gets("DEFAULT", "top", "-"), "11-");
  // A physical line over 511 bytes is read in pieces: its rest is a line of its own.
  put("[S]\n" + std::string(511, 'p') + "k=tail\n" + std::string(511, 'q') + "[T]\nk=t\n");
  EXPECT_EQ(gets("S", "k") + gets("T", "k"), "tailt");
  put("[S]\n" + std::string(511, 'p') + "[T]\nk=1\n");
  EXPECT_EQ(gets("S", "k", "-"), "-");
}

TEST_F(Ini, ValueCleaningQuotesAndCuts) {
  put("a = abc ; note\nb =   padded  \t\nc = \"  a;b # c  \" ; n\nd = \"a\"\"b\\\"c\\d\"\ne = \"ab\" cd\n"
      "f = say \"x;y\" now # c\ng = \"\nk =\nlong=" +
      std::string(100, 'v') + "\nq=\"" + std::string(40, '"') + "\"\n");
  Strings values;
  for (auto key : {"a", "b", "c", "d", "e", "f", "g"}) values.push_back(gets(nullptr, key));
  EXPECT_EQ(values,
            (Strings{"abc", "padded", "  a;b # c  ", "a\"b\"c\\d", "\"ab\" cd", "say \"x;y\" now", ""}));
  EXPECT_EQ(gets(nullptr, "k", "def"), "") << "an empty value is found; the default is not used";
  EXPECT_EQ(gets(nullptr, "long", "", 30), std::string(29, 'v'));
  EXPECT_EQ(gets(nullptr, "q", "", 11), std::string(10, '"')) << "cut after unescaping";
  EXPECT_EQ(gets(nullptr, "missing", "default", 4), "def");
}

TEST_F(Ini, NumberAndBoolReaders) {
  put("a=0x1F\nb=0X1f\nc=017\nd=-0x10\ne=12abc\nf=abc\ng=\nh= -3.25 \n"
      "y=yes\nt=True\none=1\nn=no\nz=0\nfa=false\non=on\ntwo=2\nm=-1\n");
  using Want = std::initializer_list<std::pair<const char*, long>>;
  for (auto [key, want] : Want{{"a", 31}, {"b", 31}, {"c", 17}, {"d", 0}, {"e", 12}, {"f", 0}, {"g", 99}})
    EXPECT_EQ(ini_getl(nullptr, key, 99, f()), want) << key;
  EXPECT_FLOAT_EQ(ini_getf(nullptr, "h", 9.f, f()), -3.25f);
  EXPECT_FLOAT_EQ(ini_getf(nullptr, "g", 9.f, f()), 9.f);
  std::string bools;
  for (auto key : {"y", "t", "one", "n", "z", "fa", "on", "two", "m", "g", "none"})
    bools += std::to_string(ini_getbool(nullptr, key, 7, f()));
  EXPECT_EQ(bools, "11100077777");
}

TEST_F(Ini, EnumerationCountsEmptyNamesAndBrowseSeesEveryKey) {
  put("free=1\n[A]\n = empty\n;c=1\nnosep\nb:2\n[]\n[C]\n");
  char buffer[16] = "junk";
  Strings sections, keys;
  for (int i = 0; i < 4; i++) sections.push_back((ini_getsection(i, buffer, 16, f()), buffer));
  for (int i = 0; i < 3; i++) keys.push_back((ini_getkey("a", i, buffer, 16, f()), buffer));
  EXPECT_EQ(sections, (Strings{"A", "", "C", ""})) << "'[]' counts; nothing past the end";
  EXPECT_EQ(keys, (Strings{"", "b", ""})) << "an empty key counts, comments do not";
  EXPECT_EQ(ini_getkey(nullptr, 0, buffer, 16, f()), 4);

  // Browsing reports every key line, with the section it is in.
  put("k0=0\n[S]\n;c=1\n a = \"q;\" ; c\n[x=1\n[T] tail\nb:2\n");
  Strings seen;
  auto collect = [](const char* s, const char* k, const char* v, const void* user) {
    static_cast<Strings*>(const_cast<void*>(user))->push_back(std::string(s) + "|" + k + "|" + v);
    return 1;
  };
  ASSERT_EQ(ini_browse(collect, &seen, f()), 1);
  EXPECT_EQ(seen, (Strings{"|k0|0", "S|a|q;", "S|[x|1", "T|b|2"}));
  EXPECT_EQ(ini_browse(nullptr, nullptr, f()) + ini_browse(collect, &seen, "/nonexistent"), 0);
}

TEST_F(Ini, WriterResultingBytes) {
  const char* const cases[][5] = {
      // file before, section, key, value, file after
      {"", "S", "k", "v", "\n[S]\nk=v\n"},
      {"[S]\n", "S", "k", "v", "[S]\n\nk=v\n"},
      {"[S]\nx=1", "S", "y", "2", "[S]\nx=1\ny=2\n"},
      {"[S]\nx=1 ; note\ny=2\n", "S", "X", "5", "[S]\nX=5\ny=2\n"},
      {"[A]\na=1\n\n[B]\n", "A", "k", "v", "[A]\na=1\n\nk=v\n[B]\n"},
      {"[A]\na=1\n[S]\nx=1\n\n[B]\nb=2\n", "S", nullptr, nullptr, "[A]\na=1\n[B]\nb=2\n"},
      {"a=1\n[A]\nb=2\n", nullptr, "k", "v", "a=1\nk=v\n[A]\nb=2\n"},
      {"[A]\nx=1\ny=2\n[B]\n", "a", "X", nullptr, "[A]\ny=2\n[B]\n"},
      {"; head\na=1\n\nb=2\n[A]\nc=3\n", "", nullptr, nullptr, "; head\n\n[A]\nc=3\n"},
      {"[A]\nc=3\n", nullptr, nullptr, nullptr, "[A]\nc=3\n"},
      {";k=1\nk=1\n", "", ";k", nullptr, "k=1\n"},  // the ';' is part of the name
      {"[S]\n# = c\nk=1\n", "S", "#", "v", "[S]\n#=v\nk=1\n"},
      {"[S]\n;k=1\n", "S", "k", "2", "[S]\n;k=1\nk=2\n"},
  };
  for (const auto& c : cases) {
    put(c[0]);
    EXPECT_EQ(ini_puts(c[1], c[2], c[3], f()), 1) << c[0];
    EXPECT_EQ(text(), c[4]) << c[0];
  }
  // Well past one 512-byte cache block, with a split long line and a NUL byte.
  std::string big, line = std::string(200, 'c') + "=1\n";
  for (int i = 0; i < 40; i++) big += (i == 20 ? "[S]\n" : "") + line;
  big += "b=" + std::string(600, 'l') + "\nnul=a" + std::string(1, '\0') + "b\n[T]\n";
  put(big);
  ASSERT_EQ(ini_puts("S", "new", "v", f()), 1);
  EXPECT_EQ(text(), big.substr(0, big.size() - 4) + "new=v\n[T]\n");
}

TEST_F(Ini, CreatingQuotingAndNumbers) {
  EXPECT_EQ(ini_puts("S", nullptr, nullptr, f()) + ini_puts("S", "k", nullptr, f()), 2);
  EXPECT_FALSE(fs::exists(file)) << "deleting from a missing file creates nothing";
  EXPECT_EQ((ini_puts("S", "k", "v", f()), text()), "[S]\nk=v\n");
  fs::remove(file);
  EXPECT_EQ((ini_puts("", "k", "v", f()), text()), "k=v\n");
  put("");
  for (auto [key, value] : {std::pair{"a", "x "}, {"b", "say \"hi\";"}, {"c", "  lead"}})
    ini_puts(nullptr, key, value, f());
  EXPECT_EQ(text(), "\na=\"x \"\nb=\"say \\\"hi\\\";\"\nc=  lead\n");
  EXPECT_EQ(
      ini_putl("N", "min", LONG_MIN, f()) + ini_putl("N", "zero", 0, f()) + ini_putf("N", "f", 1.5f, f()), 3);
  EXPECT_EQ(gets("N", "min") + " " + gets("N", "zero") + " " + gets("N", "f"),
            std::to_string(LONG_MIN) + " 0 1.500000");
  for (auto [key, value] : {std::pair{"k", "a\nb"}, {"k", "a\rb"}, {"k\r", "v"}})
    EXPECT_EQ(ini_puts("N", key, value, f()), 0) << "a line break would forge lines";
  EXPECT_EQ(gets("N", "k", "-"), "-");
  EXPECT_EQ(ini_puts("N", "k", nullptr, nullptr) * 10 + ini_puts("N", "k", "v", nullptr), 10)
      << "a null file name is an empty one";
}

TEST_F(Ini, UnchangedFileAndTemporaryName) {
  put("[S]\nx = 5 ; c\n");
  timespec old[2] = {{1000, 0}, {1000, 0}};
  utimensat(AT_FDCWD, f(), old, 0);
  EXPECT_EQ(ini_puts("s", "X", "5", f()), 1);
  struct stat st;
  EXPECT_EQ((stat(f(), &st), st.st_mtime), 1000) << "an unchanged value does not touch the file";

  put("[A]\nold=1\n", "backup~");  // its temporary name must not be itself
  EXPECT_EQ(ini_puts("A", "k", "1", (dir + "/backup~").c_str()), 1);
  EXPECT_EQ(text("backup~"), "[A]\nold=1\nk=1\n");
  EXPECT_EQ(ini_puts("S", "x", "6", f()), 1);
  EXPECT_EQ(entries(), (Strings{"backup~", "t.ini"})) << "no temporary file stays behind";
}

TEST_F(Ini, ReplacementIsAtomicAndFailuresKeepTheFile) {
  // The file is replaced by one rename, never removed first.
  put("[S]\nk=1\n");
  int fd = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(fd, dir.c_str(), IN_DELETE | IN_MOVED_TO), 0);
  ASSERT_EQ(ini_puts("S", "k", "2", f()), 1);
  alignas(inotify_event) char events[4096];
  const ssize_t n = read(fd, events, sizeof events);
  close(fd);
  const auto* e = reinterpret_cast<const inotify_event*>(events);
  EXPECT_TRUE(n > 0 && e->mask == IN_MOVED_TO && n == static_cast<ssize_t>(sizeof *e + e->len))
      << "only the rename";

  // A write error while copying (file size limit) leaves the file as it was.
  const std::string original = "[S]\n" + std::string(3000, 'x') + "=1\nk=2\n";
  put(original);
  auto limited = [&](rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    return ini_puts("S", "k", std::string(400, 'v').c_str(), f());
  };
  EXPECT_EQ(in_child([&] { return limited(1024); }), 0);
  EXPECT_EQ(text(), original);
  EXPECT_EQ(entries(), Strings{"t.ini"});
  fs::remove(file);
  EXPECT_EQ(in_child([&] { return limited(100); }), 0);
  EXPECT_FALSE(fs::exists(file)) << "a new file is written whole or not at all";

  // A read error (the name is a directory) is a failure and leaves no temporary file.
  fs::create_directories(dir + "/sub.d/inner");
  EXPECT_EQ(ini_puts("S", "k", "v", (dir + "/sub.d").c_str()), 0);
  EXPECT_TRUE(fs::exists(dir + "/sub.d/inner"));
  EXPECT_EQ(entries(), Strings{"sub.d"});

  // A file that exists but cannot be read is never emptied.
  put("[S]\nk=keep\n");
  chmod(f(), 0200);
  chmod(dir.c_str(), 0777);
  EXPECT_EQ(in_child([&] {  // run as nobody when root: root reads anything
              if (geteuid() == 0 && (chown(f(), 65534, 65534) || setgid(65534) || setuid(65534))) return 9;
              return ini_puts("S", "k", "new", f()) + ini_puts("S", "k", nullptr, f());
            }),
            0);
  EXPECT_EQ((chmod(f(), 0600), text()), "[S]\nk=keep\n");
}

TEST_F(Ini, LineLimitsOfTheWriter) {
  // A line written never exceeds 510 bytes, its line feed included.
  const std::string name(600, 's'), key(600, 'k'), value(600, 'v');
  ASSERT_EQ(ini_puts(name.c_str(), "a", value.c_str(), f()), 1);
  ASSERT_EQ(ini_puts(name.substr(0, 507).c_str(), key.c_str(), "x", f()), 1);
  ASSERT_EQ(ini_puts(name.substr(0, 507).c_str(), "b", value.c_str(), f()), 1);
  const std::string want = "[" + name.substr(0, 507) + "]\na=" + value.substr(0, 507) + "\n" +
                           key.substr(0, 508) + "=\nb=" + value.substr(0, 507) + "\n";
  EXPECT_TRUE(text() == want) << "a line of more than 510 bytes";
}

TEST_F(Ini, OnlyRegularFilesAreReadOrReplaced) {
  // None of these is a regular file. A reader takes each for a missing file
  // at once (a FIFO used to block in open, a device to spin forever) and a
  // writer leaves it as it is. Each runs in a child with an alarm, so that a
  // call that blocks or spins fails here instead of hanging the suite.
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0666), 0);
  fs::create_symlink("/dev/zero", dir + "/zero");
  fs::create_symlink("/dev/urandom", dir + "/random");
  fs::create_directory(dir + "/dir");
  auto browse = [](const char*, const char*, const char*, const void*) { return 1; };
  for (auto name : {"fifo", "zero", "random", "dir"}) {
    const std::string path = dir + "/" + name;
    const char* p = path.c_str();
    EXPECT_EQ(in_child([&] {
                alarm(10);
                char buffer[16];
                const bool missing = ini_gets("S", "k", "def", buffer, 16, p) == 3 &&
                                     ini_getl("S", "k", 7, p) == 7 && ini_getsection(0, buffer, 16, p) == 0 &&
                                     ini_getkey(nullptr, 0, buffer, 16, p) == 0 &&
                                     ini_browse(browse, nullptr, p) == 0;
                return missing && ini_puts("S", "k", "v", p) == 0 && ini_puts("S", nullptr, nullptr, p) == 0
                           ? 0
                           : 1;
              }),
              0)
        << name;
  }
  EXPECT_TRUE(fs::is_fifo(dir + "/fifo") && fs::is_empty(dir + "/dir"));
  EXPECT_EQ(fs::read_symlink(dir + "/zero"), "/dev/zero");
  EXPECT_TRUE(fs::is_character_file("/dev/zero") && fs::is_character_file("/dev/urandom"));
  EXPECT_EQ(entries(), (Strings{"dir", "fifo", "random", "zero"}));

  // A byte-order mark, as Windows editors save files, is not part of the
  // first section's header, and a rewrite keeps it.
  put("\xEF\xBB\xBF[DEFAULT]\nDEBUG=true\n[T]\nk=1\n");
  char buffer[16];
  EXPECT_EQ(gets("DEFAULT", "DEBUG") + (ini_getsection(0, buffer, 16, f()), buffer), "trueDEFAULT");
  ASSERT_EQ(ini_puts("DEFAULT", "DEBUG", "false", f()), 1);
  EXPECT_EQ(text(), "\xEF\xBB\xBF[DEFAULT]\nDEBUG=false\n[T]\nk=1\n");
}

TEST_F(Ini, RewriteKeepsModeOwnerAndLinks) {
  // A 0600 file holding a password stays 0600 and keeps its owner, whoever
  // rewrites it and whatever the umask.
  put("[REDE]\nproxy_senha=x\n");
  ASSERT_EQ(chmod(f(), 0600), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(f(), 65534, 65534), 0);
  }
  const mode_t old_mask = umask(0);
  EXPECT_EQ(ini_puts("REDE", "proxy_senha", "y", f()), 1);
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(f(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(65534u, 65534u));
  }
  EXPECT_EQ(gets("REDE", "proxy_senha"), "y");

  // A link is written through to its target, in the target's directory.
  fs::create_directory(dir + "/real");
  put("[S]\nk=1\n", "real/target.ini");
  fs::create_symlink("real/target.ini", dir + "/link.ini");
  const std::string link = dir + "/link.ini";
  EXPECT_EQ(ini_puts("S", "k", "2", link.c_str()), 1);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(text("real/target.ini"), "[S]\nk=2\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/real"), {}), 1) << "no temporary file stays";
  // A dangling link is not followed to create its target.
  fs::create_symlink("real/missing.ini", dir + "/dangling.ini");
  EXPECT_EQ(ini_puts("S", "k", "1", (dir + "/dangling.ini").c_str()), 0);
  EXPECT_EQ(entries(), (Strings{"dangling.ini", "link.ini", "real", "t.ini"}));
}

TEST_F(Ini, ConcurrentWritersLoseNoUpdate) {
  // Two processes store 150 keys each in one file. Every write reported as
  // done is in the file afterwards, and the lines that were there stay.
  put("[S]\nkeep=1\n[T]\nother=2\n");
  constexpr int writes = 150;
  int fds[2][2];
  pid_t children[2];
  for (int p = 0; p < 2; p++) {
    ASSERT_EQ(pipe(fds[p]), 0);
    children[p] = fork();
    if (children[p] == 0) {
      for (int i = 0; i < writes; i++) {
        const std::string key = "p" + std::to_string(p) + "k" + std::to_string(i);
        const char done = static_cast<char>('0' + ini_puts("S", key.c_str(), "v", f()));
        if (write(fds[p][1], &done, 1) != 1) _exit(1);
      }
      _exit(0);
    }
    close(fds[p][1]);
  }
  std::string results[2];
  for (int p = 0; p < 2; p++) {
    char buffer[writes];
    for (ssize_t n; (n = read(fds[p][0], buffer, sizeof buffer)) > 0;) results[p].append(buffer, n);
    close(fds[p][0]);
    waitpid(children[p], nullptr, 0);
  }
  int done = 0;
  for (int p = 0; p < 2; p++) {
    ASSERT_EQ(results[p].size(), size_t{writes});
    for (int i = 0; i < writes; i++) {
      if (results[p][i] != '1') continue;
      done++;
      EXPECT_EQ(gets("S", ("p" + std::to_string(p) + "k" + std::to_string(i)).c_str(), "-"), "v") << p << i;
    }
  }
  EXPECT_GT(done, writes) << "most writes get their turn";
  EXPECT_EQ(gets("S", "keep") + gets("T", "other"), "12");
  EXPECT_EQ(entries(), Strings{"t.ini"});

  // A writer that holds the file for good (stopped, say) makes the next one
  // give up after its bounded wait, with 0 and the file untouched.
  const std::string before = text();
  const int held = open(f(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(in_child([&] { return ini_puts("S", "late", "v", f()); }), 0);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(held);
  EXPECT_GT(waited, 4.0);
  EXPECT_LT(waited, 30.0);
  EXPECT_EQ(text(), before);
  EXPECT_EQ(entries(), Strings{"t.ini"});
}

namespace {

// Runs `write` in a child traced by this process and kills the child at the
// `nth` entry to (or return from) one of the system calls `calls`. Returns
// 1 when it was killed there, 0 when it finished first, -1 when it cannot
// be traced (as under an emulator).
int kill_at_call(const std::function<void()>& write, const std::vector<long>& calls, int nth,
                 bool on_return) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(77);
    raise(SIGSTOP);
    write();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFSTOPPED(status)) return -1;
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  long current = -1;
  int seen = 0, signal_to_pass = 0;
  for (;;) {
    ptrace(PTRACE_SYSCALL, pid, nullptr, signal_to_pass);
    waitpid(pid, &status, 0);
    signal_to_pass = 0;
    if (!WIFSTOPPED(status)) return 0;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      signal_to_pass = WSTOPSIG(status);
      continue;
    }
    __ptrace_syscall_info info{};
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) return -1;
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) current = static_cast<long>(info.entry.nr);
    const bool wanted_stop = info.op == (on_return ? PTRACE_SYSCALL_INFO_EXIT : PTRACE_SYSCALL_INFO_ENTRY);
    if (wanted_stop && std::count(calls.begin(), calls.end(), current) && ++seen == nth) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return 1;
    }
  }
}

}  // namespace

TEST_F(Ini, CrashAtEachStepLeavesOldOrNewFileWhole) {
  const std::vector<long> fsync_calls{SYS_fsync};
  std::vector<long> rename_calls{SYS_renameat2};
#ifdef SYS_rename
  rename_calls.push_back(SYS_rename);
#endif
#ifdef SYS_renameat
  rename_calls.push_back(SYS_renameat);
#endif
  struct Step {
    const char* name;
    const std::vector<long>& calls;
    int nth;
    bool on_return;
    bool new_file;  // which file the name holds afterwards
  };
  const Step steps[] = {
      {"at the new file's fsync", fsync_calls, 1, false, false},
      {"between fsync and rename", fsync_calls, 1, true, false},
      {"at the rename", rename_calls, 1, false, false},
      {"after the rename", rename_calls, 1, true, true},
      {"at the directory's fsync", fsync_calls, 2, false, true},
  };
  const std::string old_text = "[S]\n" + std::string(5000, 'o') + "=1\nk=old\n";
  for (const Step& step : steps) {
    put(old_text);
    const int killed =
        kill_at_call([&] { ini_puts("S", "k", "new", f()); }, step.calls, step.nth, step.on_return);
    if (killed < 0) GTEST_SKIP() << "this system cannot trace a child";
    ASSERT_EQ(killed, 1) << step.name;
    std::string want = old_text;
    if (step.new_file) want.replace(want.size() - 4, 3, "new");
    EXPECT_EQ(text(), want) << step.name;
    // The dead writer holds no lock: the next write goes through at once.
    EXPECT_EQ(ini_puts("S", "next", "1", f()), 1) << step.name;
    for (const auto& name : entries())
      if (name != "t.ini") fs::remove(dir + "/" + name);  // its temporary file, if it had one
  }
}
