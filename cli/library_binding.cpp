#include "library_binding.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <type_traits>

namespace zunra::cli {

namespace {

// Stores a looked-up address in the Library member it belongs to.
template <auto Member>
void store_in(Library& library, void* address) {
  auto& slot = library.*Member;
  slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
}

struct Binding {
  const char* symbol;
  bool optional;
  void (*store)(Library&, void*);
  // The name in the "dlsym_" message when it is not the symbol: our
  // technicians know EnviarDadosVenda's message as "dlsym_EnviarDadosVendas".
  const char* message_name = nullptr;
};

// In lookup order, which is also the order of the messages a broken library gives.
const Binding kBindings[] = {
    {"ExtrairLogs", false, store_in<&Library::ExtrairLogs>},
    {"AtualizarSoftwareSAT", false, store_in<&Library::AtualizarSoftwareSAT>},
    {"ConsultarStatusOperacional", false, store_in<&Library::ConsultarStatusOperacional>},
    {"AtivarSAT", false, store_in<&Library::AtivarSAT>},
    {"EnviarDadosVenda", false, store_in<&Library::EnviarDadosVenda>, "EnviarDadosVendas"},
    {"CancelarUltimaVenda", false, store_in<&Library::CancelarUltimaVenda>},
    {"ConsultarSAT", false, store_in<&Library::ConsultarSAT>},
    {"TesteFimAFim", false, store_in<&Library::TesteFimAFim>},
    {"ConsultarNumeroSessao", false, store_in<&Library::ConsultarNumeroSessao>},
    {"ConsultarUltimaSessaoFiscal", true, store_in<&Library::ConsultarUltimaSessaoFiscal>},
    {"ConfigurarInterfaceDeRede", false, store_in<&Library::ConfigurarInterfaceDeRede>},
    {"AssociarAssinatura", false, store_in<&Library::AssociarAssinatura>},
    {"BloquearSAT", false, store_in<&Library::BloquearSAT>},
    {"DesbloquearSAT", false, store_in<&Library::DesbloquearSAT>},
    {"TrocarCodigoDeAtivacao", false, store_in<&Library::TrocarCodigoDeAtivacao>},
    {"SetDriver", true, store_in<&Library::SetDriver>},
};

// For the technician, on standard error: where the library was looked for
// and, when there is none, the link that brings in the installed one.
void library_hint() {
  char here[4096];
  const bool known = getcwd(here, sizeof here) != nullptr;
  fprintf(stderr, "biblioteca procurada em: %s/libzunra_sat_rpi.so\n", known ? here : ".");
  if (access("./libzunra_sat_rpi.so", F_OK) != 0)
    fprintf(stderr, "para usar a biblioteca instalada: ln -sf %s/libzunra_sat_rpi.so .\n",
            ZUNRA_INSTALL_LIBDIR);
}

}  // namespace

bool bind_library(Library& library) {
  void* handle = dlopen("./libzunra_sat_rpi.so", RTLD_LAZY);
  if (handle == nullptr) {
    printf("dl_handle: %s\n", dlerror());
    library_hint();
    return false;
  }
  for (const Binding& binding : kBindings) {
    dlerror();  // a failed lookup is known only by the error text right after it
    void* address = dlsym(handle, binding.symbol);
    if (const char* error = dlerror()) {
      printf("dlsym_%s: %s\n", binding.message_name ? binding.message_name : binding.symbol, error);
      if (!binding.optional) return false;
      continue;
    }
    binding.store(library, address);
  }
  library.handle = handle;
  return true;
}

}  // namespace zunra::cli
