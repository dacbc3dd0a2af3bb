// A point-of-sale program in miniature, for the tests where several
// processes share one unit: it loads the library with dlopen, as a till
// program does, takes its settings from $ZUNRA_SAT_DIR/sat.ini and makes
// COUNT calls with the sessions FIRST, FIRST + 1, ...
//
//   unit_caller LIBRARY mixed|consultar|fork-in-call|fork-in-load FIRST COUNT
//
// "mixed" goes round sales (every fifth one of 300 KB), ConsultarSAT,
// ConsultarNumeroSessao about its last sale and ConsultarUltimaSessaoFiscal.
// For each call it prints "<function> <session> <asked> <reply length>",
// then the reply on a line of its own. "fork-in-call" makes one ConsultarSAT
// on another thread, forks a child that lives on for 30 s while that call
// waits for the unit, prints the child's PID and waits to be killed.
// "fork-in-load" holds the driver log's writers' lock, as another program
// writing the log would, while its first ConsultarSAT, on another thread,
// reads a sat.ini with debugging on: every line that reading logs waits for
// the lock. It forks meanwhile; the child lets go of the log and prints its
// own ConsultarSAT (session FIRST + 1), then the milliseconds it took; then
// the parent prints the thread's call.
// A child that has not ended within 10 s is killed and "hung" printed.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

void* g_lib = nullptr;

template <typename... A>
const char* call(const char* name, A... args) {
  const auto f = reinterpret_cast<const char* (*)(A...)>(::dlsym(g_lib, name));
  if (!f) {
    std::fprintf(stderr, "unit_caller: %s missing\n", name);
    std::exit(2);
  }
  return f(args...);
}

void print(const char* function, int session, int asked, const char* reply) {
  std::printf("%s %d %d %zu\n%s\n", function, session, asked, std::strlen(reply), reply);
  std::fflush(stdout);
}

// The sale document of session `session` (the tests build the same one).
std::string sale_document(int session) {
  const std::string padding(session % 5 == 0 ? 300000 : 0, 'p');
  return "<CFe><infCFe><total><vCFe>1.00</vCFe></total><det>" + std::to_string(session) + padding +
         "</det></infCFe></CFe>";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr,
                 "uso: unit_caller BIBLIOTECA mixed|consultar|fork-in-call|fork-in-load PRIMEIRA QUANTAS\n");
    return 2;
  }
  if (!(g_lib = ::dlopen(argv[1], RTLD_NOW))) {
    std::fprintf(stderr, "%s\n", ::dlerror());
    return 2;
  }
  const bool mixed = std::strcmp(argv[2], "mixed") == 0;
  const int first = std::atoi(argv[3]), count = std::atoi(argv[4]);
  if (std::strcmp(argv[2], "fork-in-call") == 0) {
    std::thread([first] { call("ConsultarSAT", first); }).detach();
    ::usleep(600000);  // the call holds the unit by now
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(30);
      for (;;) ::pause();
    }
    std::printf("%d\n", static_cast<int>(child));
    std::fflush(stdout);
    for (;;) ::pause();
  }
  if (std::strcmp(argv[2], "fork-in-load") == 0) {
    const std::string log = std::string(std::getenv("ZUNRA_SAT_DIR")) + "/lib_zunra_dorvex.log";
    const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0664);
    if (log_fd < 0 || ::flock(log_fd, LOCK_EX) != 0) return 2;
    std::string reply;  // printed after the child's, into the same file
    std::thread loading([&reply, first] { reply = call("ConsultarSAT", first); });
    ::usleep(300000);  // well inside the reading, which waits 200 ms a line
    const pid_t child = ::fork();
    if (child == 0) {
      ::flock(log_fd, LOCK_UN);  // the parent's open file: its lock too
      const auto start = std::chrono::steady_clock::now();
      print("ConsultarSAT", first + 1, 0, call("ConsultarSAT", first + 1));
      const auto took = std::chrono::steady_clock::now() - start;
      std::printf("%lld\n", static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
      std::fflush(stdout);
      ::_exit(0);
    }
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++i) ::usleep(20000);
    if (::waitpid(child, &status, WNOHANG) == 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      std::printf("hung\n");
    }
    ::flock(log_fd, LOCK_UN);
    loading.join();
    print("ConsultarSAT", first, 0, reply.c_str());
    return 0;
  }
  const char* code = "12345678";
  int last_sale = first;
  for (int session = first; session < first + count; ++session) {
    switch (mixed ? (session - first) % 4 : 1) {
      case 0: {
        std::string doc = sale_document(session);
        print("EnviarDadosVenda", session, 0, call("EnviarDadosVenda", session, code, doc.data()));
        last_sale = session;
        break;
      }
      case 1:
        print("ConsultarSAT", session, 0, call("ConsultarSAT", session));
        break;
      case 2:
        print("ConsultarNumeroSessao", session, last_sale,
              call("ConsultarNumeroSessao", session, code, last_sale));
        break;
      default:
        print("ConsultarUltimaSessaoFiscal", session, 0, call("ConsultarUltimaSessaoFiscal", session, code));
    }
  }
  return 0;
}
