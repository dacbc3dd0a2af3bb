// A stand-in driver library for the exerciser's tests: every function writes
// its name and arguments as a line to $STUB_CALLS and answers $STUB_REPLY.
// The session number is random: it is written as S.
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
struct Session {
} S;
std::string text(Session) {
  return "S";
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
#define STUB(name, params, args) \
  extern "C" __attribute__((visibility("default"))) const char* name params { return answer(#name, args); }
#define ARGS(...) __VA_ARGS__
using T = const char*;

// clang-format off
STUB(ExtrairLogs, (int, T b), ARGS(S, b))
STUB(AtualizarSoftwareSAT, (int, T b), ARGS(S, b))
STUB(ConsultarStatusOperacional, (int, T b), ARGS(S, b))
STUB(AtivarSAT, (int, int b, T c, T d, int e), ARGS(S, b, c, d, e))
#ifndef STUB_WITHOUT_VENDA
STUB(EnviarDadosVenda, (int, T b, char* c), ARGS(S, b, c))
#endif
STUB(CancelarUltimaVenda, (int, T b, T c, T d), ARGS(S, b, c, d))
STUB(ConsultarSAT, (int), ARGS(S))
STUB(TesteFimAFim, (int, T b, T c), ARGS(S, b, c))
STUB(ConsultarNumeroSessao, (int, T b, int c), ARGS(S, b, c))
STUB(ConfigurarInterfaceDeRede, (int, T b, T c), ARGS(S, b, c))
STUB(AssociarAssinatura, (int, T b, T c, T d), ARGS(S, b, c, d))
STUB(BloquearSAT, (int, T b), ARGS(S, b))
STUB(DesbloquearSAT, (int, T b), ARGS(S, b))
STUB(TrocarCodigoDeAtivacao, (int, T b, int c, T d, T e), ARGS(S, b, c, d, e))
#ifndef STUB_WITHOUT_OPTIONAL
STUB(ConsultarUltimaSessaoFiscal, (int, T b), ARGS(S, b))
STUB(SetDriver, (T a, T b), ARGS(a, b))
#endif
// clang-format on
