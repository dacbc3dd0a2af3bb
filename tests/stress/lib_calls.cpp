// N calls through the shared library as a point-of-sale program makes them
// (dlopen, dlsym, replies copied and never freed) against an in-process
// simulated unit, for valgrind: ./lib_calls N [path/to/libzunra_sat_rpi.so]
#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim_unit.h"

namespace {

void* g_lib = nullptr;

template <typename R = const char*, typename... A>
R call(const char* name, A... args) {
  const auto f = reinterpret_cast<R (*)(A...)>(::dlsym(g_lib, name));
  return f ? f(args...) : R();
}

}  // namespace

int main(int argc, char** argv) {
  const long calls = argc > 1 ? std::atol(argv[1]) : 1000;
  const std::string lib =
      argc > 2 ? argv[2]
               : std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libzunra_sat_rpi.so";
  char dir[] = "/tmp/zunra_lib_calls_XXXXXX";
  if (!::mkdtemp(dir)) return 2;
  ::setenv("ZUNRA_SAT_DIR", dir, 1);
  if (!(g_lib = ::dlopen(lib.c_str(), RTLD_NOW))) {
    std::fprintf(stderr, "%s\n", ::dlerror());
    return 2;
  }
  zunra::sim::SimUnit::Options options;
  options.log_bytes = 20000;
  zunra::sim::SimUnit unit(options);
  std::ofstream(std::string(dir) + "/sat.ini")
      << "[DEFAULT]\nSERIAL=" << unit.path() << "\nLOCK=false\nDEBUG=true\nN_TENT=2\nTMP_TENT=0\n";

  const std::string ini = std::string(dir) + "/test.ini", device = unit.path();
  const char* code = "12345678";
  // One entry per call; "" marks calls without a reply, null a skipped turn.
  const std::vector<std::function<const char*(int, long)>> mix = {
      [&](int s, long) { return call("ConsultarSAT", s); },
      [&](int s, long) { return call("ConsultarStatusOperacional", s, code); },
      [&](int s, long) { return call("ExtrairLogs", s, code); },
      [&](int s, long) { return call("TesteFimAFim", s, code, "<CFe><infCFe/></CFe>"); },
      [&](int s, long) { return call("ConfigurarInterfaceDeRede", s, code, "<config/>"); },
      [&](int s, long) { return call("AtivarSAT", s, 1, code, "16716114000172", 35); },
      [&](int s, long) {
        char doc[] = "<CFe><infCFe><total><vCFe>1.00</vCFe></total><det>&#65;&#x42;</det></infCFe></CFe>";
        return call("EnviarDadosVenda", s, code, doc);
      },
      [&](int s, long) {
        const std::string key = "CFe" + unit.last_sale_key();
        return call("CancelarUltimaVenda", s, code, key.c_str(), "<CFeCanc/>");
      },
      [&](int s, long) { return call("ConsultarNumeroSessao", s, code, s - 1); },
      [&](int s, long) { return call("ConsultarUltimaSessaoFiscal", s, code); },
      [&](int, long i) {
        call("SetDriver", "VERSAO", "");
        call("SetDriver", "NAO_EXISTE", "x");
        return call("SetDriver", "DEBUG", i % 28 ? "false" : "true");
      },
      [&](int, long) {
        char text[] = "a&#x41;b&#65;c&#x0D;&#";
        call<int>("Correcao", text);
        return "";
      },
      [&](int, long i) {
        char value[64];
        call<int>("ini_puts", "S", "k", std::to_string(i).c_str(), ini.c_str());
        call<int>("ini_gets", "S", "k", "", value, static_cast<int>(sizeof value), ini.c_str());
        return "";
      },
      [&](int s, long i) -> const char* {
        if (i % 140 != 13) return nullptr;
        call("SetDriver", "SERIAL", "/dev/zunra_nao_existe");
        const char* reply = call("ConsultarSAT", s);
        call("SetDriver", "SERIAL", device.c_str());
        return reply;
      },
  };
  std::string copy;
  long made = 0, odd = 0;
  for (long i = 0; made < calls; ++i) {
    const char* reply = mix[i % mix.size()](static_cast<int>(i % 999999) + 1, i);
    if (!reply) continue;
    ++made;
    copy.assign(reply);  // what a caller does with the reply
    if (copy.empty() && i % mix.size() < 10) ++odd;
  }
  if (int* t_cons = reinterpret_cast<int*>(::dlsym(g_lib, "T_Cons"))) t_cons[1] = 4;
  // Not unloaded: the C++ runtime's emergency pool would show as a leak.
  std::printf("%ld library calls, %ld empty replies\n", made, odd);
  std::system((std::string("rm -rf ") + dir).c_str());
  return odd == 0 ? 0 : 1;
}
