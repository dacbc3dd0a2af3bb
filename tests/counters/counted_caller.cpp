// counted_caller LIBRARY FUNCTION FIRST COUNT [DOCUMENT_BYTES]: a till program
// (dlopens LIBRARY, reads $ZUNRA_SAT_DIR/sat.ini) making COUNT calls of
// ConsultarSAT, EnviarDadosVenda or TesteFimAFim from session FIRST on.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  void* lib = argc >= 5 ? ::dlopen(argv[1], RTLD_NOW) : nullptr;
  void* function = lib ? ::dlsym(lib, argv[2]) : nullptr;
  if (!function) return 2;
  const int first = std::atoi(argv[3]), count = std::atoi(argv[4]);
  std::string document = "<CFe>" + std::string(argc > 5 ? std::atoi(argv[5]) : 0, 'd') + "</CFe>";
  using Document = const char* (*)(int, const char*, char*);
  for (int session = first; session < first + count; ++session) {
    if (std::strcmp(argv[2], "ConsultarSAT") == 0)
      reinterpret_cast<const char* (*)(int)>(function)(session);
    else
      reinterpret_cast<Document>(function)(session, "12345678", document.data());
  }
  return 0;
}
