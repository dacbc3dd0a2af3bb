/* A point-of-sale program that happens to define functions named like the
 * library's own helpers (lock, tick, file_existe, the INI functions...).
 * Each one here aborts: the library must keep calling its own. The program
 * makes every kind of call against the unit on argv[1] and then against a
 * missing device, printing each answer for the test to compare. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zunra_sat.h>
#include <zunra_sat_legacy.h>

#define TRAP(name)                                            \
  {                                                           \
    fprintf(stderr, "host %s called by the library\n", name); \
    abort();                                                  \
  }

int lock(void) TRAP("lock") int unlock(void) TRAP("unlock") int tick(void) TRAP("tick") int mili_tick(void)
    TRAP("mili_tick") const char* timestamp(void)
        TRAP("timestamp") int EnviaLog(const char* m, const char* d) {
  (void)m;
  (void)d;
  TRAP("EnviaLog")
}
char* IntToStr(int v, int len) {
  (void)v;
  (void)len;
  TRAP("IntToStr")
}
void cbInit(int size) {
  (void)size;
  TRAP("cbInit")
}
int init_usb(char* path, int mode) {
  (void)path;
  (void)mode;
  TRAP("init_usb")
}
int envia_usb(char* frame) {
  (void)frame;
  TRAP("envia_usb")
}
int le_usb(void) TRAP("le_usb") int EnviaParaSat(char* frame) {
  (void)frame;
  TRAP("EnviaParaSat")
}
int RecebeDoSat2(int session) {
  (void)session;
  TRAP("RecebeDoSat2")
}
int RecebeDoSat3(void) TRAP("RecebeDoSat3") int init_lib(void)
    TRAP("init_lib") int valida_TOUT(const char* t) {
  (void)t;
  TRAP("valida_TOUT")
}
int file_existe(const char* p) {
  (void)p;
  TRAP("file_existe")
}

int ini_gets(const char* s, const char* k, const char* d, char* b, int n, const char* f) {
  (void)s, (void)k, (void)d, (void)b, (void)n, (void)f;
  TRAP("ini_gets")
}
long ini_getl(const char* s, const char* k, long d, const char* f) {
  (void)s, (void)k, (void)d, (void)f;
  TRAP("ini_getl")
}
float ini_getf(const char* s, const char* k, float d, const char* f) {
  (void)s, (void)k, (void)d, (void)f;
  TRAP("ini_getf")
}
int ini_getbool(const char* s, const char* k, int d, const char* f) {
  (void)s, (void)k, (void)d, (void)f;
  TRAP("ini_getbool")
}
int ini_getsection(int i, char* b, int n, const char* f) {
  (void)i, (void)b, (void)n, (void)f;
  TRAP("ini_getsection")
}
int ini_getkey(const char* s, int i, char* b, int n, const char* f) {
  (void)s, (void)i, (void)b, (void)n, (void)f;
  TRAP("ini_getkey")
}
int ini_browse(INI_CALLBACK c, const void* u, const char* f) {
  (void)c, (void)u, (void)f;
  TRAP("ini_browse")
}
int ini_puts(const char* s, const char* k, const char* v, const char* f) {
  (void)s, (void)k, (void)v, (void)f;
  TRAP("ini_puts")
}
int ini_putl(const char* s, const char* k, long v, const char* f) {
  (void)s, (void)k, (void)v, (void)f;
  TRAP("ini_putl")
}
int ini_putf(const char* s, const char* k, float v, const char* f) {
  (void)s, (void)k, (void)v, (void)f;
  TRAP("ini_putf")
}

/* The session and return code at the head of a reply: "000001|08000". */
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
  if (argc != 2) return 2;
  /* The first SetDriver reads sat.ini (N_TENT=02). */
  printf("VERSAO %s\n", SetDriver("VERSAO", ""));
  printf("NumTent %d, device %s\n", NumTent, strcmp(SAT_SERIAL, argv[1]) == 0 ? "from sat.ini" : SAT_SERIAL);
  TmpTent = 0; /* no pause between the two attempts of a sale */

  calls("unit");

  /* The library's own INI reader, looked up in the library itself. */
  void* library = dlopen("libzunra_sat_rpi.so", RTLD_NOW | RTLD_NOLOAD);
  long (*getl)(const char*, const char*, long, const char*) =
      library ? (long (*)(const char*, const char*, long, const char*))dlsym(library, "ini_getl") : NULL;
  const char* dir = getenv("ZUNRA_SAT_DIR");
  char file[512];
  snprintf(file, sizeof file, "%s/sat.ini", dir ? dir : ".");
  printf("ini_getl N_TENT %ld\n", getl ? getl("DEFAULT", "N_TENT", -1, file) : -2L);

  printf("SERIAL %s\n", SetDriver("SERIAL", "zunra_no_such_unit"));
  calls("missing device");
  return 0;
}
