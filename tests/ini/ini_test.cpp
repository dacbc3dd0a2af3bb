// The INI module against real files in a scratch directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "minIni.h"
#include "zunra_sat.h"  // both headers together must compile

namespace fs = std::filesystem;

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

  void put(const std::string& text, const std::string& name = "") {
    std::ofstream(name.empty() ? file : name, std::ios::binary) << text;
  }
  std::string text(const std::string& name = "") {
    std::ifstream in(name.empty() ? file : name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string gets(const char* section, const char* key, const char* def = "", int size = 512) {
    char buffer[512];
    int n = ini_gets(section, key, def, buffer, size, file.c_str());
    EXPECT_EQ(n, static_cast<int>(strlen(buffer)));
    return buffer;
  }
  // Runs fn in a child process and returns its exit status (fn's result).
  static int in_child(const std::function<int()>& fn) {
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
  EXPECT_EQ(gets("default", "serial"), "/dev/ttyS0") << "case and blanks around '=', CR LF";
  EXPECT_EQ(gets("DEFAULT", "k", "none"), "none") << "comments are not keys";
  EXPECT_EQ(gets("DEFAULT", "a:b"), "c") << "'=' wins over an earlier ':'";
  EXPECT_EQ(gets("DEFAULT", "name"), "x");
  EXPECT_EQ(gets("DEFAULT", "late", "no"), "no") << "a lone '[' ends the section";
  EXPECT_EQ(gets(" DEFAULT ", "k"), "inner") << "blanks inside brackets belong to the name";
  EXPECT_EQ(gets("dup", "other", "no"), "no") << "only the first of two sections is searched";
  EXPECT_EQ(gets("DUP", "k"), "first");
  EXPECT_EQ(gets(nullptr, "top"), "1");
  EXPECT_EQ(gets("", "top"), "1");
  EXPECT_EQ(gets("DEFAULT", "top", "no"), "no");

  // A physical line over 511 bytes is read in pieces: its rest is a line of its own.
  put("[S]\n" + std::string(511, 'p') + "k=tail\n" + std::string(511, 'q') + "[T]\nk=t\n");
  EXPECT_EQ(gets("S", "k"), "tail");
  EXPECT_EQ(gets("T", "k"), "t");
  put("[S]\n" + std::string(511, 'p') + "[T]\nk=1\n");
  EXPECT_EQ(gets("S", "k", "no"), "no");
}

TEST_F(Ini, ValueCleaningQuotesAndCuts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"k = abc ; note", "abc"},
      {"k =   padded  \t", "padded"},
      {"k = \"  a;b # c  \" ; note", "  a;b # c  "},
      {"k = \"a\"\"b\\\"c\\d\"", "a\"b\"c\\d"},
      {"k = \"ab\" cd", "\"ab\" cd"},
      {"k = say \"x;y\" now # c", "say \"x;y\" now"},
      {"k = \"", ""},
  };
  for (const auto& [line, want] : cases) {
    put(line + "\n");
    EXPECT_EQ(gets(nullptr, "k"), want) << line;
  }
  put("k =\nlong=" + std::string(100, 'v') + "\nq=\"" + std::string(40, '"') + "\"\n");
  EXPECT_EQ(gets(nullptr, "k", "def"), "") << "an empty value is found; the default is not used";
  EXPECT_EQ(gets(nullptr, "long", "", 30), std::string(29, 'v'));
  EXPECT_EQ(gets(nullptr, "q", "", 11), std::string(10, '"')) << "cut after unescaping";
  EXPECT_EQ(gets(nullptr, "missing", "default", 4), "def");

  char buffer[4] = "xyz";
  EXPECT_EQ(ini_gets(nullptr, "k", "d", nullptr, 4, file.c_str()), 0);
  EXPECT_EQ(ini_gets(nullptr, "k", "d", buffer, 0, file.c_str()), 0);
  EXPECT_EQ(ini_gets(nullptr, nullptr, "d", buffer, 4, file.c_str()), 0);
  EXPECT_STREQ(buffer, "xyz");
  EXPECT_EQ(ini_gets(nullptr, "k", "d", buffer, 4, nullptr), 1);
}

TEST_F(Ini, NumberAndBoolReaders) {
  put("a=0x1F\nb=0X1f\nc=017\nd=-0x10\ne=12abc\nf=abc\ng=\nh= -3.25 \n"
      "y=yes\nt=True\none=1\nn=no\nz=0\nfa=false\non=on\ntwo=2\nm=-1\n");
  const std::vector<std::pair<const char*, long>> longs = {{"a", 31}, {"b", 31}, {"c", 17}, {"d", 0},
                                                           {"e", 12}, {"f", 0},  {"g", 99}, {"x", 99}};
  for (const auto& [key, want] : longs) EXPECT_EQ(ini_getl(nullptr, key, 99, file.c_str()), want) << key;
  EXPECT_FLOAT_EQ(ini_getf(nullptr, "h", 9.f, file.c_str()), -3.25f);
  EXPECT_FLOAT_EQ(ini_getf(nullptr, "g", 9.f, file.c_str()), 9.f);
  const std::vector<std::pair<const char*, int>> bools = {{"y", 1},  {"t", 1},  {"one", 1}, {"n", 0},
                                                          {"z", 0},  {"fa", 0}, {"on", 7},  {"two", 7},
                                                          {"m", 7},  {"g", 7},  {"x", 7}};
  for (const auto& [key, want] : bools) EXPECT_EQ(ini_getbool(nullptr, key, 7, file.c_str()), want) << key;
}

TEST_F(Ini, EnumerationCountsEmptyNames) {
  put("free=1\n[A]\n = empty\n;c=1\nnosep\nb:2\n[]\n[C]\n");
  char buffer[16] = "junk";
  std::vector<std::string> names;
  for (int i = 0; i < 4; i++) {
    ini_getsection(i, buffer, sizeof buffer, file.c_str());
    names.push_back(buffer);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"A", "", "C", ""})) << "'[]' is counted; none past the end";
  names.clear();
  for (int i = 0; i < 3; i++) {
    ini_getkey("a", i, buffer, sizeof buffer, file.c_str());
    names.push_back(buffer);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"", "b", ""})) << "empty key counted, comments not";
  EXPECT_EQ(ini_getkey(nullptr, 0, buffer, sizeof buffer, file.c_str()), 4);
  EXPECT_EQ(ini_getsection(-1, buffer, sizeof buffer, file.c_str()), 0);
  EXPECT_STREQ(buffer, "free");
}

TEST_F(Ini, BrowseReportsEveryKeyLine) {
  put("k0=0\n[S]\n;c=1\n a = \"q;\" ; c\n[x=1\n[T] tail\nb:2\n");
  std::vector<std::string> seen;
  auto collect = [](const char* s, const char* k, const char* v, const void* user) {
    static_cast<std::vector<std::string>*>(const_cast<void*>(user))->push_back(std::string(s) + "|" + k + "|" + v);
    return 1;
  };
  ASSERT_EQ(ini_browse(collect, &seen, file.c_str()), 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"|k0|0", "S|a|q;", "S|[x|1", "T|b|2"}));
  int calls = 0;
  auto stop = [](const char*, const char*, const char*, const void* user) {
    ++*static_cast<int*>(const_cast<void*>(user));
    return 0;
  };
  EXPECT_EQ(ini_browse(stop, &calls, file.c_str()), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ini_browse(nullptr, nullptr, file.c_str()), 0);
  EXPECT_EQ(ini_browse(stop, &calls, (dir + "/none").c_str()), 0);
}

TEST_F(Ini, WriterResultingBytes) {
  struct Case {
    const char *before, *section, *key, *value, *after;
  };
  const Case cases[] = {
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
      {"[A]\nc=3\n", "B", nullptr, nullptr, "[A]\nc=3\n"},
  };
  for (const Case& c : cases) {
    put(c.before);
    EXPECT_EQ(ini_puts(c.section, c.key, c.value, file.c_str()), 1) << c.before;
    EXPECT_EQ(text(), c.after) << c.before;
  }
  // Sections well past one cache block: the pending-line counting refills.
  std::string big, line = std::string(200, 'c') + "=1\n";
  for (int i = 0; i < 40; i++) big += (i == 20 ? "[S]\n" : "") + line;
  big += "b=" + std::string(600, 'l') + "\nnul=a" + std::string(1, '\0') + "b\n[T]\n";
  put(big);
  ASSERT_EQ(ini_puts("S", "new", "v", file.c_str()), 1);
  EXPECT_EQ(text(), big.substr(0, big.size() - 4) + "new=v\n[T]\n");
}

TEST_F(Ini, CreatingQuotingAndNumbers) {
  EXPECT_EQ(ini_puts("S", nullptr, nullptr, file.c_str()), 1);
  EXPECT_EQ(ini_puts("S", "k", nullptr, file.c_str()), 1);
  EXPECT_FALSE(fs::exists(file)) << "deleting from a missing file creates nothing";
  EXPECT_EQ(ini_puts("S", "k", "v", file.c_str()), 1);
  EXPECT_EQ(text(), "[S]\nk=v\n");
  fs::remove(file);
  EXPECT_EQ(ini_puts("", "k", "v", file.c_str()), 1);
  EXPECT_EQ(text(), "k=v\n");

  put("");
  ini_puts(nullptr, "a", "x ", file.c_str());
  ini_puts(nullptr, "b", "say \"hi\";", file.c_str());
  ini_puts(nullptr, "c", "  lead", file.c_str());
  EXPECT_EQ(text(), "\na=\"x \"\nb=\"say \\\"hi\\\";\"\nc=  lead\n");
  EXPECT_EQ(gets(nullptr, "c"), "lead") << "leading blanks of a plain value are not read back";

  // Whatever mix of quotes, backslashes and comment marks reads back as written.
  std::mt19937 rng(7);
  const std::string alphabet = "ab\"\\;#= ";
  for (int i = 0; i < 100; i++) {
    std::string value(1 + rng() % 12, 'a');
    for (char& ch : value) ch = alphabet[rng() % alphabet.size()];
    if (value[0] == ' ') value[0] = 'a';
    ASSERT_EQ(ini_puts("R", "v", value.c_str(), file.c_str()), 1);
    ASSERT_EQ(gets("R", "v"), value) << text();
  }

  EXPECT_EQ(ini_putl("N", "min", LONG_MIN, file.c_str()), 1);
  EXPECT_EQ(ini_putl("N", "zero", 0, file.c_str()), 1);
  EXPECT_EQ(ini_putf("N", "f", 1.5f, file.c_str()), 1);
  EXPECT_EQ(gets("N", "min"), std::to_string(LONG_MIN));
  EXPECT_EQ(ini_getl("N", "min", 1, file.c_str()), LONG_MIN);
  EXPECT_EQ(gets("N", "zero"), "0");
  EXPECT_EQ(gets("N", "f"), "1.500000");
  EXPECT_EQ(ini_puts("N", "k", "a\nb", file.c_str()), 0) << "a line feed would forge lines";
}

TEST_F(Ini, UnchangedFileAndTemporaryName) {
  put("[S]\nx = 5 ; c\n");
  struct stat before, after;
  stat(file.c_str(), &before);
  timespec old[2] = {{1000, 0}, {1000, 0}};
  utimensat(AT_FDCWD, file.c_str(), old, 0);
  EXPECT_EQ(ini_puts("s", "X", "5", file.c_str()), 1);
  stat(file.c_str(), &after);
  EXPECT_EQ(after.st_mtime, 1000) << "an unchanged value does not touch the file";
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ini_puts("S", "nokey", nullptr, file.c_str()), 1);
  EXPECT_EQ(text(), "[S]\nx = 5 ; c\n");

  const std::string config = dir + "/config.ini", temp = dir + "/config.in~";
  put("stale", temp);
  put("[A]\n", config);
  EXPECT_EQ(ini_puts("A", "k", "1", config.c_str()), 1);
  EXPECT_FALSE(fs::exists(temp));
  const std::string tilde = dir + "/backup~";  // its temporary name must not be itself
  put("[A]\nold=1\n", tilde);
  EXPECT_EQ(ini_puts("A", "k", "1", tilde.c_str()), 1);
  EXPECT_EQ(text(tilde), "[A]\nold=1\nk=1\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3);
}

TEST_F(Ini, ReplacementIsAtomicAndFailuresKeepTheFile) {
  // The file is replaced by one rename, never removed first.
  put("[S]\nk=1\n");
  int fd = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(fd, dir.c_str(), IN_DELETE | IN_MOVED_TO), 0);
  ASSERT_EQ(ini_puts("S", "k", "2", file.c_str()), 1);
  alignas(inotify_event) char events[4096];
  ssize_t n = read(fd, events, sizeof events);
  close(fd);
  ASSERT_GT(n, 0);
  for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
    auto* e = reinterpret_cast<inotify_event*>(p);
    EXPECT_FALSE(e->mask & IN_DELETE) << e->name << " was removed";
  }

  // A write error while copying (file size limit) leaves the file as it was.
  const std::string original = "[S]\n" + std::string(3000, 'x') + "=1\nk=2\n";
  put(original);
  auto limited = [&](rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    return ini_puts("S", "k", std::string(400, 'v').c_str(), file.c_str());
  };
  EXPECT_EQ(in_child([&] { return limited(1024); }), 0);
  EXPECT_EQ(text(), original);
  EXPECT_FALSE(fs::exists(dir + "/t.in~"));
  fs::remove(file);
  EXPECT_EQ(in_child([&] { return limited(100); }), 0);
  EXPECT_FALSE(fs::exists(file)) << "a new file is written whole or not at all";

  // A read error (the name is a directory) reports failure and leaves no temporary file.
  fs::create_directories(dir + "/sub.d/inner");
  EXPECT_EQ(ini_puts("S", "k", "v", (dir + "/sub.d").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir + "/sub.~"));
  EXPECT_TRUE(fs::exists(dir + "/sub.d/inner"));

  // A file that exists but cannot be read is never emptied.
  put("[S]\nk=keep\n");
  chmod(file.c_str(), 0200);
  chmod(dir.c_str(), 0777);
  EXPECT_EQ(in_child([&] {
              if (geteuid() == 0 && (chown(file.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 ||
                                     setuid(65534) != 0)) {
                return 9;
              }
              return ini_puts("S", "k", "new", file.c_str()) + ini_puts("S", "k", nullptr, file.c_str());
            }),
            0);
  chmod(file.c_str(), 0600);
  EXPECT_EQ(text(), "[S]\nk=keep\n");
}
