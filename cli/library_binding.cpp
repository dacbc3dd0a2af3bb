#include "library_binding.h"

#include <dlfcn.h>

#include <cstdio>

namespace zunra::cli {

namespace {

template <typename Fn>
void assign(Fn& slot, void* address) {
  slot = reinterpret_cast<Fn>(address);
}

struct Binding {
  const char* symbol;
  const char* message;  // names EnviarDadosVenda as our technicians know it
  bool optional;
  void (*store)(Library&, void*);
};

// In lookup order, which is also the order of the messages a broken library gives.
const Binding kBindings[] = {
    {"ExtrairLogs", "dlsym_ExtrairLogs: %s\n", false, [](Library& l, void* a) { assign(l.ExtrairLogs, a); }},
    {"AtualizarSoftwareSAT", "dlsym_AtualizarSoftwareSAT: %s\n", false,
     [](Library& l, void* a) { assign(l.AtualizarSoftwareSAT, a); }},
    {"ConsultarStatusOperacional", "dlsym_ConsultarStatusOperacional: %s\n", false,
     [](Library& l, void* a) { assign(l.ConsultarStatusOperacional, a); }},
    {"AtivarSAT", "dlsym_AtivarSAT: %s\n", false, [](Library& l, void* a) { assign(l.AtivarSAT, a); }},
    {"EnviarDadosVenda", "dlsym_EnviarDadosVendas: %s\n", false,
     [](Library& l, void* a) { assign(l.EnviarDadosVenda, a); }},
    {"CancelarUltimaVenda", "dlsym_CancelarUltimaVenda: %s\n", false,
     [](Library& l, void* a) { assign(l.CancelarUltimaVenda, a); }},
    {"ConsultarSAT", "dlsym_ConsultarSAT: %s\n", false,
     [](Library& l, void* a) { assign(l.ConsultarSAT, a); }},
    {"TesteFimAFim", "dlsym_TesteFimAFim: %s\n", false,
     [](Library& l, void* a) { assign(l.TesteFimAFim, a); }},
    {"ConsultarNumeroSessao", "dlsym_ConsultarNumeroSessao: %s\n", false,
     [](Library& l, void* a) { assign(l.ConsultarNumeroSessao, a); }},
    {"ConsultarUltimaSessaoFiscal", "dlsym_ConsultarUltimaSessaoFiscal: %s\n", true,
     [](Library& l, void* a) { assign(l.ConsultarUltimaSessaoFiscal, a); }},
    {"ConfigurarInterfaceDeRede", "dlsym_ConfigurarInterfaceDeRede: %s\n", false,
     [](Library& l, void* a) { assign(l.ConfigurarInterfaceDeRede, a); }},
    {"AssociarAssinatura", "dlsym_AssociarAssinatura: %s\n", false,
     [](Library& l, void* a) { assign(l.AssociarAssinatura, a); }},
    {"BloquearSAT", "dlsym_BloquearSAT: %s\n", false, [](Library& l, void* a) { assign(l.BloquearSAT, a); }},
    {"DesbloquearSAT", "dlsym_DesbloquearSAT: %s\n", false,
     [](Library& l, void* a) { assign(l.DesbloquearSAT, a); }},
    {"TrocarCodigoDeAtivacao", "dlsym_TrocarCodigoDeAtivacao: %s\n", false,
     [](Library& l, void* a) { assign(l.TrocarCodigoDeAtivacao, a); }},
    {"SetDriver", "dlsym_SetDriver: %s\n", true, [](Library& l, void* a) { assign(l.SetDriver, a); }},
};

}  // namespace

bool bind_library(Library& library) {
  void* handle = dlopen("./libzunra_sat_rpi.so", RTLD_LAZY);
  if (handle == nullptr) {
    printf("dl_handle: %s\n", dlerror());
    return false;
  }
  for (const Binding& binding : kBindings) {
    dlerror();  // a failed lookup is known only by the error text right after it
    void* address = dlsym(handle, binding.symbol);
    if (const char* error = dlerror()) {
      printf(binding.message, error);
      if (!binding.optional) return false;
      continue;
    }
    binding.store(library, address);
  }
  library.supports_ultima_sessao_fiscal = library.ConsultarUltimaSessaoFiscal != nullptr;
  library.supports_set_driver = library.SetDriver != nullptr;
  return true;
}

}  // namespace zunra::cli
