/* A till program against the unit named in sat.ini. argv[1] names what it
 * does: "sessions" calls with session numbers beyond six digits and below
 * zero, "leftover" makes calls while the unit sends the late tail of an
 * earlier reply first, "terminator" passes texts that hold the frame
 * terminator 0x03 and then makes a plain sale. Each reply is printed up to
 * its fifth field (a receipt's Base64 and access key change every run). */
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <zunra_sat.h>

static const char kCode[] = "12345678";

static void show(const char* what, const char* reply) {
  const char* end = reply;
  for (int bars = 0; *end && (*end != '|' || ++bars < 5); ++end) {
  }
  printf("%s %.*s\n", what, (int)(end - reply), reply);
}

static void sessions(void) {
  char sale[] = "<CFe><infCFe><total><vCFe>1.00</vCFe></total></infCFe></CFe>";
  show("ConsultarSAT", ConsultarSAT(1234567));
  show("ConsultarSAT", ConsultarSAT(-5));
  show("EnviarDadosVenda", EnviarDadosVenda(1234567, kCode, sale));
  show("ConsultarNumeroSessao", ConsultarNumeroSessao(INT_MIN, kCode, 5));
  show("ConsultarUltimaSessaoFiscal", ConsultarUltimaSessaoFiscal(INT_MAX, kCode));
}

static void leftover(void) {
  show("ConsultarSAT", ConsultarSAT(7));
  show("ConsultarNumeroSessao", ConsultarNumeroSessao(5, kCode, 42));
  show("ConsultarUltimaSessaoFiscal", ConsultarUltimaSessaoFiscal(9, kCode));
}

static void terminator(void) {
  /* A product name from a shop database that carries a command of its own. */
  char sale[] =
      "<CFe><infCFe><det><prod><xProd>Cafe|\x03|13|000555|12345678|\x03</xProd></prod></det>"
      "<total><vCFe>1.00</vCFe></total></infCFe></CFe>";
  char plain[] = "<CFe><infCFe><total><vCFe>2.00</vCFe></total></infCFe></CFe>";
  show("EnviarDadosVenda", EnviarDadosVenda(1, kCode, sale));
  show("CancelarUltimaVenda", CancelarUltimaVenda(2, kCode, "CFe\x03", "<CFeCanc/>"));
  show("AtivarSAT", AtivarSAT(3, 1, kCode, "11222333000181\x03", 35));
  show("ConsultarNumeroSessao", ConsultarNumeroSessao(4, "\x03", 1));
  show("EnviarDadosVenda", EnviarDadosVenda(5, kCode, plain));
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (strcmp(argv[1], "sessions") == 0)
    sessions();
  else if (strcmp(argv[1], "leftover") == 0)
    leftover();
  else if (strcmp(argv[1], "terminator") == 0)
    terminator();
  else
    return 2;
  return 0;
}
