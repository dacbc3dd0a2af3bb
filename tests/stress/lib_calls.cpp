// Drives N calls through the shared library exactly as a point-of-sale
// program does (dlopen + dlsym, reply pointers copied, never freed), against
// an in-process simulated unit, for valgrind's memcheck:
//
//   valgrind --leak-check=full --error-exitcode=1 ./lib_calls 10000 [path/to/libzunra_sat_rpi.so]
//
// The mix covers every SAT function the library exports, the INI functions,
// SetDriver and a missing device. Functions not present are skipped.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim_unit.h"

namespace {

void* g_lib = nullptr;

template <typename F>
F find(const char* name) {
  return reinterpret_cast<F>(::dlsym(g_lib, name));
}

std::string beside_me(const char* file) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return file;
  self[n] = '\0';
  std::string path(self);
  return path.substr(0, path.rfind('/') + 1) + file;
}

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::atol(argv[1]) : 1000;
  const std::string lib = argc > 2 ? argv[2] : beside_me("libzunra_sat_rpi.so");
  char dir[] = "/tmp/zunra_lib_calls_XXXXXX";
  if (!::mkdtemp(dir)) return 2;
  ::setenv("ZUNRA_SAT_DIR", dir, 1);
  g_lib = ::dlopen(lib.c_str(), RTLD_NOW);
  if (!g_lib) {
    std::fprintf(stderr, "%s\n", ::dlerror());
    return 2;
  }
  zunra::sim::SimUnit::Options options;
  options.log_bytes = 20000;
  zunra::sim::SimUnit unit(options);
  {
    // Settings as sat.ini would give them; written before any call.
    const std::string ini = std::string(dir) + "/sat.ini";
    std::FILE* f = std::fopen(ini.c_str(), "w");
    std::fprintf(f, "[DEFAULT]\nSERIAL=%s\nLOCK=false\nDEBUG=true\nN_TENT=2\nTMP_TENT=0\n",
                 unit.path().c_str());
    std::fclose(f);
  }
  using Session = const char* (*)(int);
  using Coded = const char* (*)(int, const char*);
  using Two = const char* (*)(int, const char*, const char*);
  const auto consultar = find<Session>("ConsultarSAT");
  const auto status = find<Coded>("ConsultarStatusOperacional");
  const auto logs = find<Coded>("ExtrairLogs");
  const auto fim = find<Two>("TesteFimAFim");
  const auto rede = find<Two>("ConfigurarInterfaceDeRede");
  const auto ativar = find<const char* (*)(int, int, const char*, const char*, int)>("AtivarSAT");
  const auto venda = find<const char* (*)(int, const char*, char*)>("EnviarDadosVenda");
  const auto cancelar =
      find<const char* (*)(int, const char*, const char*, const char*)>("CancelarUltimaVenda");
  const auto sessao = find<const char* (*)(int, const char*, int)>("ConsultarNumeroSessao");
  const auto fiscal = find<Coded>("ConsultarUltimaSessaoFiscal");
  const auto set_driver = find<const char* (*)(const char*, const char*)>("SetDriver");
  const auto correcao = find<int (*)(char*)>("Correcao");
  const auto puts_ini = find<int (*)(const char*, const char*, const char*, const char*)>("ini_puts");
  const auto gets_ini =
      find<int (*)(const char*, const char*, const char*, char*, int, const char*)>("ini_gets");
  int* t_cons = find<int*>("T_Cons");

  const std::string ini = std::string(dir) + "/test.ini";
  std::string copy;
  long made = 0, odd = 0;
  for (long i = 0; made < calls; ++i) {
    const int session = static_cast<int>(i % 999999) + 1;
    const char* reply = nullptr;
    switch (i % 14) {
      case 0:
        reply = consultar ? consultar(session) : nullptr;
        break;
      case 1:
        reply = status ? status(session, "12345678") : nullptr;
        break;
      case 2:
        reply = logs ? logs(session, "12345678") : nullptr;
        break;
      case 3:
        reply = fim ? fim(session, "12345678", "<CFe><infCFe/></CFe>") : nullptr;
        break;
      case 4:
        reply = rede ? rede(session, "12345678", "<config/>") : nullptr;
        break;
      case 5:
        reply = ativar ? ativar(session, 1, "12345678", "16716114000172", 35) : nullptr;
        break;
      case 6:
        if (venda) {
          char doc[] = "<CFe><infCFe><total><vCFe>1.00</vCFe></total><det>&#65;&#x42;</det></infCFe></CFe>";
          reply = venda(session, "12345678", doc);
        }
        break;
      case 7:
        if (cancelar) {
          const std::string key = "CFe" + unit.last_sale_key();
          reply = cancelar(session, "12345678", key.c_str(), "<CFeCanc/>");
        }
        break;
      case 8:
        reply = sessao ? sessao(session, "12345678", session - 1) : nullptr;
        break;
      case 9:
        reply = fiscal ? fiscal(session, "12345678") : nullptr;
        break;
      case 10:
        if (set_driver) {
          reply = set_driver("DEBUG", i % 28 ? "false" : "true");
          set_driver("VERSAO", "");
          set_driver("NAO_EXISTE", "x");
        }
        break;
      case 11:
        if (correcao) {
          char text[] = "a&#x41;b&#65;c&#x0D;&#";
          correcao(text);
          reply = "";
        }
        break;
      case 12:
        if (puts_ini && gets_ini) {
          char value[64];
          puts_ini("S", "k", std::to_string(i).c_str(), ini.c_str());
          gets_ini("S", "k", "", value, sizeof value, ini.c_str());
          reply = "";
        }
        break;
      case 13:
        // Now and then the device is missing: the fallback answers at once.
        if (consultar && set_driver && i % 140 == 13) {
          set_driver("SERIAL", "/dev/zunra_nao_existe");
          reply = consultar(session);
          set_driver("SERIAL", unit.path().c_str());
        }
        break;
    }
    if (!reply) continue;
    ++made;
    copy.assign(reply);  // what a caller does with the reply
    if (copy.empty() && i % 14 < 10) ++odd;
  }
  if (t_cons) t_cons[1] = 4;
  // Not unloaded: the C++ runtime linked into the library keeps a 72 KiB
  // emergency exception pool for the life of its mapping, which an unload
  // would turn into a leak report of the runtime's, not of ours.
  std::printf("%ld library calls, %ld empty replies\n", made, odd);
  std::system((std::string("rm -rf ") + dir).c_str());
  return odd == 0 ? 0 : 1;
}
