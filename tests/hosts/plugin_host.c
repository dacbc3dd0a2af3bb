/* A program that loads the driver as a plugin, with dlopen, and unloads it
 * when it is done with it. argv[1] is the library.
 *   plugin_host LIB cycles N: N loads and unloads, each with a call into the
 *     library; prints how far the resident set grew after the first cycle.
 *   plugin_host LIB unload-in-call: a thread calls ConsultarSAT, which the
 *     unit answers late, while the main thread unloads the library; the call
 *     must return its reply, and the library load and answer again. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef const char* (*consultar_fn)(int);
typedef long (*getl_fn)(const char*, const char*, long, const char*);

static void* load(const char* path) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    printf("dlopen: %s\n", dlerror());
    exit(1);
  }
  return lib;
}

static long resident_kib(void) {
  long size = 0, pages = 0;
  FILE* f = fopen("/proc/self/statm", "r");
  if (f) {
    if (fscanf(f, "%ld %ld", &size, &pages) != 2) pages = 0;
    fclose(f);
  }
  return pages * (sysconf(_SC_PAGESIZE) / 1024);
}

static int cycles(const char* path, int n) {
  long first = 0;
  for (int i = 0; i < n; ++i) {
    void* lib = load(path);
    getl_fn getl = (getl_fn)dlsym(lib, "ini_getl");
    if (!getl || getl("DEFAULT", "N_TENT", -1, "sat.ini") != 2) {
      printf("cycle %d: ini_getl did not read sat.ini\n", i);
      return 1;
    }
    dlclose(lib);
    if (i == 0) first = resident_kib();
  }
  printf("%d cycles, resident set grew %ld KiB\n", n, resident_kib() - first);
  return 0;
}

static consultar_fn consultar;
static char got[16];

static void* caller(void* unused) {
  (void)unused;
  snprintf(got, sizeof got, "%.12s", consultar(5));
  return NULL;
}

static int unload_in_call(const char* path) {
  void* lib = load(path);
  consultar = (consultar_fn)dlsym(lib, "ConsultarSAT");
  pthread_t thread;
  if (!consultar || pthread_create(&thread, NULL, caller, NULL) != 0) return 1;
  const struct timespec inside = {0, 300 * 1000000L};
  nanosleep(&inside, NULL);
  printf("dlclose during the call: %d\n", dlclose(lib));
  pthread_join(thread, NULL);
  printf("reply %s\n", got);
  lib = load(path);
  consultar = (consultar_fn)dlsym(lib, "ConsultarSAT");
  printf("loaded again, reply %.12s\n", consultar ? consultar(6) : "(none)");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[2], "cycles") == 0) return cycles(argv[1], atoi(argv[3]));
  if (argc == 3 && strcmp(argv[2], "unload-in-call") == 0) return unload_in_call(argv[1]);
  fprintf(stderr, "usage: plugin_host LIB cycles N | plugin_host LIB unload-in-call\n");
  return 2;
}
