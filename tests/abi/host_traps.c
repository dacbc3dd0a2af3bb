/* A point-of-sale program that defines functions named like the library's
 * helpers, each aborting: the library must keep calling its own. It makes
 * every kind of call against the unit on argv[1], then a missing device. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zunra_sat.h>
#include <zunra_sat_legacy.h>

#pragma GCC diagnostic ignored "-Wunused-parameter"
#define TRAP(ret, name, params)                                \
  ret name params {                                            \
    fprintf(stderr, "host " #name " called by the library\n"); \
    abort();                                                   \
  }                                                            \
  extern int trap_list

TRAP(int, lock, (void));
TRAP(int, unlock, (void));
TRAP(int, tick, (void));
TRAP(int, mili_tick, (void));
TRAP(const char*, timestamp, (void));
TRAP(int, EnviaLog, (const char* m, const char* d));
TRAP(char*, IntToStr, (int v, int len));
TRAP(void, cbInit, (int size));
TRAP(int, init_usb, (char* path, int mode));
TRAP(int, envia_usb, (char* frame));
TRAP(int, le_usb, (void));
TRAP(int, EnviaParaSat, (char* frame));
TRAP(int, RecebeDoSat2, (int session));
TRAP(int, RecebeDoSat3, (void));
TRAP(int, init_lib, (void));
TRAP(int, valida_TOUT, (const char* t));
TRAP(int, file_existe, (const char* p));
TRAP(int, ini_gets, (const char* s, const char* k, const char* d, char* b, int n, const char* f));
TRAP(long, ini_getl, (const char* s, const char* k, long d, const char* f));
TRAP(float, ini_getf, (const char* s, const char* k, float d, const char* f));
TRAP(int, ini_getbool, (const char* s, const char* k, int d, const char* f));
TRAP(int, ini_getsection, (int i, char* b, int n, const char* f));
TRAP(int, ini_getkey, (const char* s, int i, char* b, int n, const char* f));
TRAP(int, ini_browse, (INI_CALLBACK c, const void* u, const char* f));
TRAP(int, ini_puts, (const char* s, const char* k, const char* v, const char* f));
TRAP(int, ini_putl, (const char* s, const char* k, long v, const char* f));
TRAP(int, ini_putf, (const char* s, const char* k, float v, const char* f));

static void show(const char* what, const char* reply) {
  printf("%s %.12s\n", what, reply ? reply : "(null)");
}

static void calls(const char* round) {
  char sale[] = "<CFe><infCFe><total><vCFe>1.00</vCFe></total></infCFe></CFe>";
  printf("%s\n", round);
  show("ConsultarSAT", ConsultarSAT(1));
  show("EnviarDadosVenda", EnviarDadosVenda(2, "12345678", sale));
  show("CancelarUltimaVenda", CancelarUltimaVenda(3, "12345678", "CFe0", "<CFeCanc/>"));
  show("ConsultarNumeroSessao", ConsultarNumeroSessao(4, "12345678", 2));
}

int main(int argc, char** argv) {
  printf("VERSAO %s\n", SetDriver("VERSAO", ""));  // reads sat.ini (N_TENT=02)
  printf("NumTent %d, device %s\n", NumTent, strcmp(SAT_SERIAL, argv[1]) == 0 ? "from sat.ini" : SAT_SERIAL);
  TmpTent = 0;
  calls("unit");
  void* library = dlopen("libzunra_sat_rpi.so", RTLD_NOW | RTLD_NOLOAD); /* its own INI reader */
  long (*getl)(const char*, const char*, long, const char*) =
      library ? (long (*)(const char*, const char*, long, const char*))dlsym(library, "ini_getl") : NULL;
  char file[512];
  snprintf(file, sizeof file, "%s/sat.ini", getenv("ZUNRA_SAT_DIR"));
  printf("ini_getl N_TENT %ld\n", getl ? getl("DEFAULT", "N_TENT", -1, file) : -2L);
  printf("SERIAL %s\n", SetDriver("SERIAL", "zunra_no_such_unit"));
  calls("missing device");
  return 0;
}
