/* A till with a text screen, linked with the terminal library before or
 * after the driver (pkg-config --libs ncursesw gives -lncursesw -ltinfo).
 * libtinfo exports data named BC of its own, termcap's backspace string.
 * The till sets up its terminal, asks the unit's state and extracts its log
 * (about 3 MB); then termcap's tgetent fills the terminal library's BC.
 * Each reply must come back whole and each library keep its own BC. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <term.h>
#include <zunra_sat.h>

/* Length, head and FNV-1a sum of a reply, which the test compares with
 * what the unit sent. */
static void show(const char* what, const char* reply) {
  uint32_t sum = 2166136261u;
  for (const unsigned char* p = (const unsigned char*)reply; *p; ++p) sum = (sum ^ *p) * 16777619u;
  printf("%s %.12s %zu %08x\n", what, reply, strlen(reply), (unsigned)sum);
}

int main(void) {
  int error = 0;
  if (setupterm("ansi", 1, &error) != 0) {
    printf("setupterm: %d\n", error);
    return 1;
  }
  show("ConsultarSAT", ConsultarSAT(1));
  show("ExtrairLogs", ExtrairLogs(2, "12345678"));
  /* "ansi" moves left with ESC [ D, which tgetent stores in BC. */
  if (tgetent(NULL, "ansi") != 1) {
    puts("tgetent failed");
    return 1;
  }
  void* tinfo = dlopen("libtinfo.so.6", RTLD_NOW | RTLD_NOLOAD);
  char** bc = tinfo ? (char**)dlsym(tinfo, "BC") : NULL;
  printf("terminal library's BC: %s\n", bc && *bc && strcmp(*bc, "\033[D") == 0 ? "its own" : "lost");
  show("ConsultarSAT", ConsultarSAT(3));
  return 0;
}
