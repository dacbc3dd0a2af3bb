// A stand-in driver library for the exerciser's tests: every function writes
// its name and arguments as a line to $STUB_CALLS and answers $STUB_REPLY.
// Built with all functions, without the two optional ones, and without a
// mandatory one.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string text(const char* s) {
  return s ? "[" + std::string(s) + "]" : "(null)";
}
std::string text(int n) {
  return std::to_string(n);
}

template <typename... Args>
const char* answer(const char* name, Args... args) {
  std::string call = name;
  ((call += " " + text(args)), ...);
  if (FILE* file = getenv("STUB_CALLS") ? fopen(getenv("STUB_CALLS"), "a") : nullptr) {
    fprintf(file, "%s\n", call.c_str());
    fclose(file);
  }
  static std::string reply;
  reply = getenv("STUB_REPLY") ? getenv("STUB_REPLY") : "stub reply";
  return reply.c_str();
}

}  // namespace

// One exported stand-in: name, parameter list, argument list.
#define STUB(name, params, args)                                              \
  extern "C" __attribute__((visibility("default"))) const char* name params { \
    return answer(#name, args);                                               \
  }
#define ARGS(...) __VA_ARGS__
using T = const char*;

// clang-format off
STUB(ExtrairLogs, (int a, T b), ARGS(a, b))
STUB(AtualizarSoftwareSAT, (int a, T b), ARGS(a, b))
STUB(ConsultarStatusOperacional, (int a, T b), ARGS(a, b))
STUB(AtivarSAT, (int a, int b, T c, T d, int e), ARGS(a, b, c, d, e))
#ifndef STUB_WITHOUT_VENDA
STUB(EnviarDadosVenda, (int a, T b, char* c), ARGS(a, b, c))
#endif
STUB(CancelarUltimaVenda, (int a, T b, T c, T d), ARGS(a, b, c, d))
STUB(ConsultarSAT, (int a), ARGS(a))
STUB(TesteFimAFim, (int a, T b, T c), ARGS(a, b, c))
STUB(ConsultarNumeroSessao, (int a, T b, int c), ARGS(a, b, c))
STUB(ConfigurarInterfaceDeRede, (int a, T b, T c), ARGS(a, b, c))
STUB(AssociarAssinatura, (int a, T b, T c, T d), ARGS(a, b, c, d))
STUB(BloquearSAT, (int a, T b), ARGS(a, b))
STUB(DesbloquearSAT, (int a, T b), ARGS(a, b))
STUB(TrocarCodigoDeAtivacao, (int a, T b, int c, T d, T e), ARGS(a, b, c, d, e))
#ifndef STUB_WITHOUT_OPTIONAL
STUB(ConsultarUltimaSessaoFiscal, (int a, T b), ARGS(a, b))
STUB(SetDriver, (T a, T b), ARGS(a, b))
#endif
// clang-format on
