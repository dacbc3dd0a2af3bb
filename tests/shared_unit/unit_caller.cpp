// unit_caller LIBRARY mixed|consultar|fork-in-call|fork-in-load FIRST COUNT: a till program (dlopens
// LIBRARY, reads $ZUNRA_SAT_DIR/sat.ini) printing each call as "<function> <session> <asked> <length>\n
// <reply>\n"; fork-in-call prints a PID, fork-in-load the child's call and milliseconds, then the thread's.
// unit_caller plant FILE...: another account's program holding what lock files it can, until killed.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

static void* g_lib = nullptr;
template <typename... A>
static const char* call(const char* name, A... args) {
  return reinterpret_cast<const char* (*)(A...)>(::dlsym(g_lib, name))(args...);
}
static void print(const char* function, int session, int asked, const char* reply) {
  std::printf("%s %d %d %zu\n%s\n", function, session, asked, std::string(reply).size(), reply),
      std::fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "plant") {  // plant FILE...: make each it can and hold its flock
    ::alarm(60), ::umask(077);
    for (int i = 2; i < argc; ++i) {
      const int fd = ::open(argv[i], O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) std::printf("%s\n", argv[i]);
    }
    std::printf("ready\n"), std::fflush(stdout);
    for (;;) ::pause();
  }
  if (argc != 5 || !(g_lib = ::dlopen(argv[1], RTLD_NOW))) return 2;
  const std::string mode = argv[2];
  const int first = std::atoi(argv[3]), count = std::atoi(argv[4]);
  if (mode == "fork-in-call") {
    std::thread([first] { call("ConsultarSAT", first); }).detach();
    ::usleep(600000);  // the call holds the unit by now
    const pid_t child = ::fork();
    if (child == 0) ::alarm(30);
    if (child != 0) std::printf("%d\n", static_cast<int>(child)), std::fflush(stdout);
    for (;;) ::pause();
  }
  if (mode == "fork-in-load") {
    const std::string log = std::string(std::getenv("ZUNRA_SAT_DIR")) + "/lib_zunra_dorvex.log";
    const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0660);
    struct stat before {
    }, now{};
    if (log_fd < 0 || ::flock(log_fd, LOCK_EX) != 0 || ::fstat(log_fd, &before) != 0) return 2;
    std::string reply;
    std::thread loading([&reply, first] { reply = call("ConsultarSAT", first); });
    // Inside the reading once it has logged its first line: each of its lines waits a few ms for the
    // log held here. Bounded at 2 s.
    for (int i = 0; i < 10000 && ::fstat(log_fd, &now) == 0 && now.st_size == before.st_size; ++i)
      ::usleep(200);
    if (::fork() == 0) {
      ::alarm(10);
      ::flock(log_fd, LOCK_UN);  // the parent's open file: its lock too
      const auto start = std::chrono::steady_clock::now();
      print("ConsultarSAT", first + 1, 0, call("ConsultarSAT", first + 1));
      std::printf("%d\n", int((std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1)));
      std::fflush(stdout), ::_exit(0);
    }
    ::wait(nullptr), ::flock(log_fd, LOCK_UN), loading.join();
    return print("ConsultarSAT", first, 0, reply.c_str()), 0;
  }
  const char* const names[] = {"EnviarDadosVenda", "ConsultarSAT", "ConsultarNumeroSessao",
                               "ConsultarUltimaSessaoFiscal"};
  for (int session = first, last_sale = first; session < first + count; ++session) {
    const int kind = mode == "mixed" ? (session - first) % 4 : 1;
    const std::string doc = "<CFe><infCFe><total><vCFe>1.00</vCFe></total><det>" + std::to_string(session) +
                            std::string(session % 5 == 0 ? 300000 : 0, 'p') + "</det></infCFe></CFe>";
    const char* reply = kind == 0   ? call(names[0], session, "12345678", doc.c_str())
                        : kind == 1 ? call(names[1], session)
                        : kind == 2 ? call(names[2], session, "12345678", last_sale)
                                    : call(names[3], session, "12345678");
    print(names[kind], session, kind == 2 ? last_sale : 0, reply);
    if (kind == 0) last_sale = session;
  }
  return 0;
}
