// A stand-in driver library for the exerciser's tests of what it passes and
// how it prints replies: every function records its arguments, one per line,
// in $STUB_CALLS and answers $STUB_REPLY. Built with all functions, without
// the two that older libraries lack, and without a mandatory one.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string reply;

const char* answer(const std::string& call) {
  if (const char* path = getenv("STUB_CALLS")) {
    if (FILE* file = fopen(path, "a")) {
      fputs(call.c_str(), file);
      fputc('\n', file);
      fclose(file);
    }
  }
  const char* text = getenv("STUB_REPLY");
  reply = text != nullptr ? text : "stub reply";
  return reply.c_str();
}

std::string s(const char* text) { return text != nullptr ? "[" + std::string(text) + "]" : "(null)"; }
std::string n(int value) { return std::to_string(value); }

}  // namespace

#define STUB extern "C" __attribute__((visibility("default"))) const char*

STUB ExtrairLogs(int a, const char* b) { return answer("ExtrairLogs " + n(a) + " " + s(b)); }
STUB AtualizarSoftwareSAT(int a, const char* b) { return answer("AtualizarSoftwareSAT " + n(a) + " " + s(b)); }
STUB ConsultarStatusOperacional(int a, const char* b) {
  return answer("ConsultarStatusOperacional " + n(a) + " " + s(b));
}
STUB AtivarSAT(int a, int b, const char* c, const char* d, int e) {
  return answer("AtivarSAT " + n(a) + " " + n(b) + " " + s(c) + " " + s(d) + " " + n(e));
}
#ifndef STUB_WITHOUT_VENDA
STUB EnviarDadosVenda(int a, const char* b, char* c) {
  return answer("EnviarDadosVenda " + n(a) + " " + s(b) + " " + s(c));
}
#endif
STUB CancelarUltimaVenda(int a, const char* b, const char* c, const char* d) {
  return answer("CancelarUltimaVenda " + n(a) + " " + s(b) + " " + s(c) + " " + s(d));
}
STUB ConsultarSAT(int a) { return answer("ConsultarSAT " + n(a)); }
STUB TesteFimAFim(int a, const char* b, const char* c) {
  return answer("TesteFimAFim " + n(a) + " " + s(b) + " " + s(c));
}
STUB ConsultarNumeroSessao(int a, const char* b, int c) {
  return answer("ConsultarNumeroSessao " + n(a) + " " + s(b) + " " + n(c));
}
STUB ConfigurarInterfaceDeRede(int a, const char* b, const char* c) {
  return answer("ConfigurarInterfaceDeRede " + n(a) + " " + s(b) + " " + s(c));
}
STUB AssociarAssinatura(int a, const char* b, const char* c, const char* d) {
  return answer("AssociarAssinatura " + n(a) + " " + s(b) + " " + s(c) + " " + s(d));
}
STUB BloquearSAT(int a, const char* b) { return answer("BloquearSAT " + n(a) + " " + s(b)); }
STUB DesbloquearSAT(int a, const char* b) { return answer("DesbloquearSAT " + n(a) + " " + s(b)); }
STUB TrocarCodigoDeAtivacao(int a, const char* b, int c, const char* d, const char* e) {
  return answer("TrocarCodigoDeAtivacao " + n(a) + " " + s(b) + " " + n(c) + " " + s(d) + " " + s(e));
}
#ifndef STUB_WITHOUT_OPTIONAL
STUB ConsultarUltimaSessaoFiscal(int a, const char* b) {
  return answer("ConsultarUltimaSessaoFiscal " + n(a) + " " + s(b));
}
STUB SetDriver(const char* a, const char* b) { return answer("SetDriver " + s(a) + " " + s(b)); }
#endif
