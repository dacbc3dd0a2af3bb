// journal_till LIBRARY SESSION DOCUMENT_BYTES: a till program that loads the
// library as point-of-sale programs do (settings from $ZUNRA_SAT_DIR) and
// makes one sale of a document this long, printing the reply. The tests
// kill it with SIGKILL at chosen points of the sale.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  void* lib = argc == 4 ? ::dlopen(argv[1], RTLD_NOW) : nullptr;
  if (!lib) return 2;
  using Sale = const char* (*)(int, const char*, char*);
  const auto sale = reinterpret_cast<Sale>(::dlsym(lib, "EnviarDadosVenda"));
  std::string document = "<CFe><infCFe><det>" + std::string(std::strtoul(argv[3], nullptr, 10), 'p') +
                         "</det><total><vCFe>1.00</vCFe></total></infCFe></CFe>";
  std::printf("%s\n", sale(std::atoi(argv[2]), "12345678", &document[0]));
  return 0;
}
