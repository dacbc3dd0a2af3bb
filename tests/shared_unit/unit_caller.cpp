// A point-of-sale program in miniature, for the tests where several
// processes share one unit: it loads the library with dlopen, as a till
// program does, takes its settings from $ZUNRA_SAT_DIR/sat.ini and makes
// COUNT calls with the sessions FIRST, FIRST + 1, ...
//
//   unit_caller LIBRARY mixed|consultar|fork-in-call FIRST COUNT
//
// "mixed" goes round sales (every fifth one of 300 KB), ConsultarSAT,
// ConsultarNumeroSessao about its last sale and ConsultarUltimaSessaoFiscal.
// For each call it prints "<function> <session> <asked> <reply length>",
// then the reply on a line of its own. "fork-in-call" makes one ConsultarSAT
// on another thread, forks a child that lives on for 30 s while that call
// waits for the unit, prints the child's PID and waits to be killed.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

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
    std::fprintf(stderr, "uso: unit_caller BIBLIOTECA mixed|consultar PRIMEIRA QUANTAS\n");
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
