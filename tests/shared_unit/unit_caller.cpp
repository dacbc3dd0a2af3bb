// A till program: dlopens LIBRARY, reads $ZUNRA_SAT_DIR/sat.ini.
//   unit_caller LIBRARY mixed|consultar|fork-in-call|fork-in-load FIRST COUNT
// mixed/consultar print each call as "<function> <session> <asked> <length>\n<reply>\n".
// fork-in-call forks a child that lives on while a thread's call waits; prints its PID.
// fork-in-load forks while a thread's first call reads sat.ini with the log locked;
// prints the child's call and its milliseconds, then the thread's.
#include <dlfcn.h>
#include <fcntl.h>
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
  return reinterpret_cast<const char* (*)(A...)>(::dlsym(g_lib, name))(args...);
}

void print(const char* function, int session, int asked, const char* reply) {
  std::printf("%s %d %d %zu\n%s\n", function, session, asked, std::strlen(reply), reply);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
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
    const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0664);
    if (log_fd < 0 || ::flock(log_fd, LOCK_EX) != 0) return 2;
    std::string reply;
    std::thread loading([&reply, first] { reply = call("ConsultarSAT", first); });
    ::usleep(300000);  // well inside the reading, which waits 200 ms a line
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(10);
      ::flock(log_fd, LOCK_UN);  // the parent's open file: its lock too
      const auto start = std::chrono::steady_clock::now();
      print("ConsultarSAT", first + 1, 0, call("ConsultarSAT", first + 1));
      std::printf("%lld\n", static_cast<long long>((std::chrono::steady_clock::now() - start) /
                                                   std::chrono::milliseconds(1)));
      std::fflush(stdout);
      ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ::flock(log_fd, LOCK_UN);
    loading.join();
    print("ConsultarSAT", first, 0, reply.c_str());
    return 0;
  }
  const char* code = "12345678";
  int last_sale = first;
  for (int session = first; session < first + count; ++session) {
    const int kind = mode == "mixed" ? (session - first) % 4 : 1;
    if (kind == 0) {
      std::string doc = "<CFe><infCFe><total><vCFe>1.00</vCFe></total><det>" + std::to_string(session) +
                        std::string(session % 5 == 0 ? 300000 : 0, 'p') + "</det></infCFe></CFe>";
      print("EnviarDadosVenda", session, 0, call("EnviarDadosVenda", session, code, doc.data()));
      last_sale = session;
    } else if (kind == 1) {
      print("ConsultarSAT", session, 0, call("ConsultarSAT", session));
    } else if (kind == 2) {
      print("ConsultarNumeroSessao", session, last_sale,
            call("ConsultarNumeroSessao", session, code, last_sale));
    } else {
      print("ConsultarUltimaSessaoFiscal", session, 0, call("ConsultarUltimaSessaoFiscal", session, code));
    }
  }
  return 0;
}
