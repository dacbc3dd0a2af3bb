// sat_cli: runs one SAT function of the driver library per invocation, so a
// technician can drive the unit from a shell without point-of-sale software.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cfe_decoding.h"
#include "config_documents.h"
#include "counters_file.h"
#include "ini_file.h"
#include "library_binding.h"
#include "local_files.h"
#include "session_numbers.h"

namespace zunra::cli {
namespace {

constexpr char kVersion[] = "3.0.0.5";
constexpr char kSeparator[] = "========================================================================";
constexpr char kDashes[] = "\n----------------------------------------------------------------------";

// One invocation: the program's name, the function's arguments and the library.
struct Invocation {
  const char* program;
  char* const* args;  // args[0] is the first argument after the function name
  const Library& library;
  const char* arg(int i) const { return args[i]; }
};

void separator() {
  puts(kSeparator);
}

void start(const char* banner) {
  separator();
  puts(banner);
  puts("Parametros: ");
}

// Another build of the library might answer null; it reads as an empty reply.
const char* text_of(const char* reply) {
  return reply != nullptr ? reply : "";
}

constexpr char kPinHint[] =
    "com outros dispositivos ttyACM no terminal, fixe as regras udev na unidade: sudo zunra-sat-setup pin "
    "/dev/ttyACM0";

const std::time_t g_started = std::time(nullptr);

// The driver's record of this run's own fallback, from the counters file:
// a record of another process, or of an earlier run, is not ours.
std::optional<counters::LastFallback> own_fallback() {
  const char* dir = getenv("ZUNRA_SAT_DIR");
  counters::Values counts{};
  std::string why;
  if (!counters::read_counters(counters::counters_file_in(dir && *dir ? dir : "/var/zunra_dorvex"), counts,
                               why))
    return std::nullopt;
  const counters::LastFallback last = counters::last_fallback_of(counts);
  if (!last.any || last.pid != (getpid() & 0x3fffff) || last.time < g_started) return std::nullopt;
  return last;
}

// Why the unit was not reached, and what to check.
std::string reason_line(const counters::LastFallback& f) {
  switch (f.outcome) {
    case counters::Outcome::no_device:
      return std::string("SAT nao encontrado: o SAT esta conectado? confira SERIAL em sat.ini; ") + kPinHint;
    case counters::Outcome::permission_denied:
      return "sem permissao para abrir o SAT: o usuario esta no grupo dialout?";
    case counters::Outcome::not_a_terminal:
      return "o SERIAL de sat.ini nao e um terminal serial: confira o dispositivo";
    case counters::Outcome::no_reply:
      return "o SAT nao respondeu em " + std::to_string(f.detail) +
             " s: confira o cabo e se o SAT esta ligado";
    default:
      return std::string("SAT nao alcancado: ") + counters::kOutcomeNames[static_cast<int>(f.outcome)].text;
  }
}

// For the technician, on standard error: a reply code ending in 098 says
// the unit was not reached; the driver's record says why when it is this
// run's own, else /dev/zunra_sat may be another ACM device's.
void unreached_hint(const char* reply) {
  const char* bar = strchr(reply, '|');
  if (bar == nullptr || strlen(bar) < 6 || strncmp(bar + 3, "098", 3) != 0) return;
  fflush(stdout);
  const std::optional<counters::LastFallback> own = own_fallback();
  // The library itself says when the unit is another program's, or its lock cannot be had.
  if (own && (own->outcome == counters::Outcome::held_by_another_process ||
              own->outcome == counters::Outcome::lock_file_unavailable))
    return;
  const std::string line =
      own ? reason_line(*own) : std::string("unidade sem resposta: confira SERIAL em sat.ini; ") + kPinHint;
  fprintf(stderr, "%s\n", line.c_str());
}

void show_reply(const char* reply) {
  printf("\nRetorno: %s\n\n", text_of(reply));
  unreached_hint(text_of(reply));
}

// What the technician needs to know goes to standard error: the file, the
// section or the keys (those that made the reading fail) it lacks.
int config_error(const char* section, std::initializer_list<const char*> keys = {}) {
  if (access("./config.ini", F_OK) != 0) {
    char here[4096];
    fprintf(stderr, "config.ini nao encontrado: %s/config.ini\n", getcwd(here, sizeof here) ? here : ".");
  } else if (!ini_readable_file("./config.ini")) {
    fprintf(stderr, "config.ini nao pode ser lido: %s\n",
            errno == EINVAL ? "nao e um arquivo regular" : strerror(errno));
  } else if (!config_section_found(section)) {
    fprintf(stderr, "config.ini sem a secao [%s] (a primeira ou a segunda do arquivo, em maiusculas)\n",
            section);
  } else {
    warn_missing_keys(section, keys);
  }
  puts("Erro no arquivo config.ini");
  return 1;
}

// A whole CF-e file as text; when it cannot be read, says so and gives nothing.
std::optional<std::vector<char>> read_cfe_file(const char* name) {
  bool not_regular = false;
  auto content = read_regular_file(name, not_regular);
  if (!content) {
    // A pipe would hold the run forever and a device never end; for the technician only.
    if (not_regular) fprintf(stderr, "nao e um arquivo regular: %s\n", name);
    printf("nao conseguiu ler o arquivo: %s\n", name);
    return std::nullopt;
  }
  content->push_back('\0');
  return content;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of the chCanc attribute every cancellation document carries on
// its infCFe element: the key of the receipt to cancel.
std::optional<std::string> find_chcanc(const char* text) {
  const std::string_view document(text);
  constexpr std::string_view kName = "chCanc";
  for (std::size_t at = document.find(kName); at != std::string_view::npos;
       at = document.find(kName, at + 1)) {
    if (at == 0 || !is_blank(document[at - 1])) continue;  // part of another name
    std::size_t i = at + kName.size();
    while (i < document.size() && is_blank(document[i])) ++i;
    if (i >= document.size() || document[i] != '=') continue;
    ++i;
    while (i < document.size() && is_blank(document[i])) ++i;
    if (i >= document.size() || (document[i] != '"' && document[i] != '\'')) continue;
    const std::size_t close = document.find(document[i], i + 1);
    if (close == std::string_view::npos) continue;
    return std::string(document.substr(i + 1, close - i - 1));
  }
  return std::nullopt;
}

// An access key as the unit issues it: "CFe" and 44 digits.
bool is_access_key(const std::string& key) {
  if (key.size() != 47 || key.compare(0, 3, "CFe") != 0) return false;
  return std::all_of(key.begin() + 3, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int run_ativar(const Invocation& in) {
  if (le_ini_default() != 0) return config_error("DEFAULT");
  warn_missing_keys("DEFAULT", {"CNPJ_CONTRIB", "UF"});
  start("\nExecutando funcao: AtivarSAT");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  puts("     Tipo de Certificado: AC_SAT/SEFAZ");
  printf("     CNPJ Contribuinte: %s\n", cCNPJContrib);
  printf("     UF: %s\n", cUF);
  const int session = _sessao();
  show_reply(in.library.AtivarSAT(session, 1, in.arg(0), cCNPJContrib, atoi(cUF)));
  separator();
  return 0;
}

int run_consultar_sat(const Invocation& in) {
  separator();
  puts("\nExecutando funcao: ConsultarSAT");
  const int session = _sessao();
  show_reply(in.library.ConsultarSAT(session));
  separator();
  return 0;
}

int run_teste_fim_a_fim(const Invocation& in) {
  if (le_ini_default() != 0) return config_error("DEFAULT");
  warn_missing_keys("DEFAULT", {"CNPJ_SH", "ASSINATURA_SH", "CNPJ_CONTRIB", "IE_CONTRIB"});
  const std::string document = test_sale_document();
  start("\nExecutando funcao: TesteFimAFim");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  printf("     Layout: %s\n", cLayout);
  printf("     CNPJ SH: %s\n", cCNPJSh);
  printf("     AssinaturaSH: %s\n", cAssinaturaSH);
  printf("     CNPJ Contribuinte: %s\n", cCNPJContrib);
  printf("     IE Contribuinte: %s\n", cIEContrib);
  printf("     XML: %s\n", document.c_str());
  const int session = _sessao();
  show_reply(in.library.TesteFimAFim(session, in.arg(0), document.c_str()));
  separator();
  return 0;
}

// The functions that take nothing but the activation code.
int run_code_only(const Invocation& in, const char* banner, CodeFn function) {
  start(banner);
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  const int session = _sessao();
  show_reply(function(session, in.arg(0)));
  separator();
  return 0;
}

int run_status(const Invocation& in) {
  return run_code_only(in, "\nExecutando funcao: ConsultarStatusOperacional",
                       in.library.ConsultarStatusOperacional);
}
int run_atualizar(const Invocation& in) {
  return run_code_only(in, "\nExecutando funcao: AtualizarSoftwareSAT", in.library.AtualizarSoftwareSAT);
}
int run_bloquear(const Invocation& in) {
  return run_code_only(in, "\nExecutando funcao: BloquearSAT", in.library.BloquearSAT);
}
int run_desbloquear(const Invocation& in) {
  return run_code_only(in, "\nExecutando funcao: DesbloquearSAT", in.library.DesbloquearSAT);
}

int run_numero_sessao(const Invocation& in) {
  start("\nExecutando funcao: ConsultarNumeroSessao");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  printf("     Sessao a consultar: %s\n", in.arg(1));
  const int session = _sessao();
  show_reply(in.library.ConsultarNumeroSessao(session, in.arg(0), atoi(in.arg(1))));
  separator();
  return 0;
}

int run_ultima_sessao_fiscal(const Invocation& in) {
  start("\nExecutando funcao: ConsultarUltimaSessaoFiscal");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  const int session = _sessao();
  const char* reply = text_of(in.library.ConsultarUltimaSessaoFiscal(session, in.arg(0)));
  show_reply(reply);
  const std::string code = reply_field_cut(reply, 1, 12);
  if (code.compare(0, 5, "06000") == 0) {
    TrataCFe(reply);
  } else if (code.compare(0, 5, "07000") == 0) {
    TrataCFeCanc(reply);
  }
  separator();
  return 0;
}

int run_configurar_rede(const Invocation& in) {
  if (le_ini_rede() != 0) return config_error("REDE", {"tipoInter", "tipoLan"});
  const bool fixed_address = strncmp(ctipoLan, "DHCP", 4) != 0;
  const int proxy = atoi(cproxy);
  if (fixed_address) warn_missing_keys("REDE", {"lanIP", "lanMask", "lanGW", "lanDNS1", "lanDNS2"});
  warn_missing_keys("REDE", {"proxy"});
  if (proxy == 1) warn_missing_keys("REDE", {"proxy_ip", "proxy_porta", "proxy_user", "proxy_senha"});
  std::string document = network_document_start();
  append_element(document, "tipoInter", ctipoInter);
  append_element(document, "tipoLan", ctipoLan);

  start("\nExecutando funcao: ConfigurarInterfaceDeRede");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  printf("     tipoInter: %s\n", ctipoInter);
  printf("     tipoLan: %s\n", ctipoLan);

  // A fixed address needs all five addresses well formed; DHCP sends none.
  if (fixed_address) {
    const struct {
      const char* key;
      const char* value;
    } addresses[] = {
        {"lanIP", clanIP},     {"lanMask", clanMask}, {"lanGW", clanGW},
        {"lanDNS1", clanDNS1}, {"lanDNS2", clanDNS2},
    };
    for (const auto& a : addresses) {
      if (ValidaIP(a.value) != 0) {
        printf("erro: %s\n", a.key);
        return 1;
      }
    }
    for (const auto& a : addresses) append_element(document, a.key, a.value);
    for (const auto& a : addresses) printf("     %s: %s\n", a.key, a.value);
  }

  append_element(document, "proxy", cproxy);
  const char* const proxy_kind[] = {"SEM PROXY", "PROXY COM CONFIGURACAO", "PROXY TRANSPARENTE"};
  printf("     proxy: %s (%s)\n", cproxy, proxy_kind[proxy]);
  if (proxy == 1) {
    if (ValidaIP(cproxy_ip) != 0) {
      puts("erro: proxy_ip");
      return 1;
    }
    const struct {
      const char* key;
      const char* value;
    } settings[] = {
        {"proxy_ip", cproxy_ip},
        {"proxy_porta", cproxy_porta},
        {"proxy_user", cproxy_user},
        {"proxy_senha", cproxy_senha},
    };
    for (const auto& s : settings) append_element(document, s.key, s.value);
    for (const auto& s : settings) printf("     %s: %s\n", s.key, s.value);
  }
  document += "</config>";
  printf("     XML de Configuracao: %s\n", document.c_str());

  const int session = _sessao();
  show_reply(in.library.ConfigurarInterfaceDeRede(session, in.arg(0), document.c_str()));
  return 0;
}

int run_associar(const Invocation& in) {
  if (le_ini_default() != 0) return config_error("DEFAULT");
  warn_missing_keys("DEFAULT", {"CNPJ_SH", "CNPJ_CONTRIB", "ASSINATURA_SH"});
  start("\nExecutando funcao: AssociarAssinatura");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  printf("     CNPJValue: %s\n", cCNPJValue);
  printf("     AssinaturaSH: %s\n", cAssinaturaSH);
  const int session = _sessao();
  show_reply(in.library.AssociarAssinatura(session, in.arg(0), cCNPJValue, cAssinaturaSH));
  separator();
  return 0;
}

// Saves the decoded log; false when log_sat.txt could not be written.
bool save_log(const std::string& encoded) {
  std::vector<unsigned char> decoded(encoded.size() * 2 + 1);
  unsigned written = static_cast<unsigned>(encoded.size() * 2);
  base64decode(encoded.data(), static_cast<unsigned>(encoded.size()), decoded.data(), &written);
  decoded[written] = 0;

  const char* text = reinterpret_cast<const char*>(decoded.data());
  if (!write_regular_file("log_sat.txt", text, strlen(text))) return false;
  sync();
  return true;
}

int run_extrair_logs(const Invocation& in) {
  start("\nExecutando funcao: ExtrairLogs");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  const int session = _sessao();
  const char* reply = text_of(in.library.ExtrairLogs(session, in.arg(0)));

  const std::string code = reply_field_cut(reply, 1, 12);
  const std::string field2 = reply_field_cut(reply, 2, 132);
  const std::string field3 = reply_field_cut(reply, 3, 132);
  int status = 0;
  if (code.compare(0, 5, "15000") == 0) {
    const bool saved = save_log(std::string(reply_field(reply, 5)));
    if (!saved) fputs("Erro ao criar arquivo\n", stderr);
    printf("Cod Retorno: %s|%s\n", code.c_str(), field2.c_str());
    if (saved) {
      printf("%s\n", kDashes);
      puts("Log salvo em: log_sat.txt");
      printf("%s\n\n", kDashes);
    } else {
      status = 1;
    }
  } else if (code.compare(0, 5, "15098") == 0) {
    printf("Cod Retorno: %s|%s\n", code.c_str(), field2.c_str());
    unreached_hint(reply);
  } else {
    printf("Cod Retorno: %s|%s\n", code.c_str(), field3.c_str());
  }
  puts("=================================================");
  return status;
}

int run_trocar_codigo(const Invocation& in) {
  start("\nExecutando funcao: TrocarCodigoDeAtivacao");
  const int option = atoi(in.arg(1));
  if (option == 2) {
    printf("     Opcao: %s - Codigo de Emergencia\n", in.arg(1));
    printf("     Cod. Emeergencia: %s\n", in.arg(0));
  } else {
    printf("     Opcao: %s - %s\n", in.arg(1), option == 1 ? "Codigo de Ativacao" : "Desconhecido");
    printf("     Cod. Ativacao: %s\n", in.arg(0));
  }
  printf("     Novo Codigo: %s\n", in.arg(2));
  const int session = _sessao();
  show_reply(in.library.TrocarCodigoDeAtivacao(session, in.arg(0), option, in.arg(2), in.arg(2)));
  separator();
  return 0;
}

int run_enviar_venda(const Invocation& in) {
  start("\nExecutando funcao: EnviarDadosVendas");
  printf("     Cod. Ativacao: %s\n", in.arg(0));
  printf("       Arquivo CFe: %s\n", in.arg(1));
  auto content = read_cfe_file(in.arg(1));
  if (!content) return 1;
  const int session = _sessao();
  const char* reply = text_of(in.library.EnviarDadosVenda(session, in.arg(0), content->data()));
  content.reset();
  show_reply(reply);
  separator();
  TrataCFe(reply);
  return 0;
}

int run_cancelar_venda(const Invocation& in) {
  start("\nExecutando funcao: CancelarUltimaVenda");
  printf("       Cod. Ativacao: %s\n", in.arg(0));
  printf("     Arquivo CFeCanc: %s\n", in.arg(1));
  auto content = read_cfe_file(in.arg(1));
  if (!content) return 1;
  const auto key = find_chcanc(content->data());
  if (!key) {
    printf("nao encontrou chCanc no arquivo: %s\n", in.arg(1));
    return 1;
  }
  if (!is_access_key(*key)) {
    printf("chave invalida em chCanc no arquivo: %s\n", in.arg(1));
    return 1;
  }
  const int session = _sessao();
  const char* reply =
      text_of(in.library.CancelarUltimaVenda(session, in.arg(0), key->c_str(), content->data()));
  content.reset();
  show_reply(reply);
  separator();
  TrataCFeCanc(reply);
  return 0;
}

int run_set_driver(const Invocation& in) {
  start("\nExecutando funcao: SetDriver");
  printf("     Parametro: %s\n", in.arg(0));
  printf("         Valor: %s\n", in.arg(1));
  show_reply(in.library.SetDriver(in.arg(0), in.arg(1)));
  separator();
  return 0;
}

struct Command {
  const char* name;
  int count;           // arguments required after the name; -1: not tested
  const char* syntax;  // printf format of the message for a wrong count
  int (*run)(const Invocation&);
  bool (Library::*supported)() const;  // null for the functions every library has
};

const Command kCommands[] = {
    {"AtivarSAT", 1, "Sintaxe: %s AtivarSAT codigoDeAtivacao (+ config.ini)\n\n", run_ativar, nullptr},
    {"ConsultarSAT", -1, nullptr, run_consultar_sat, nullptr},
    {"TesteFimAFim", 1, "Sintaxe: %s TesteFimAFim codigoDeAtivacao (+ config.ini)\n\n", run_teste_fim_a_fim,
     nullptr},
    {"ConsultarStatusOperacional", 1, "Sintaxe: %s ConsultarStatusOperacional codigoDeAtivacao \n\n",
     run_status, nullptr},
    {"ConsultarNumeroSessao", 2, "Sintaxe: %s ConsultarNumeroSessao codigoDeAtivacao  cNumeroDeSessao\n\n",
     run_numero_sessao, nullptr},
    {"ConsultarUltimaSessaoFiscal", 1, "Sintaxe: %s ConsultarUltimaSessaoFiscal codigoDeAtivacao\n\n",
     run_ultima_sessao_fiscal, &Library::supports_ultima_sessao_fiscal},
    {"ConfigurarInterfaceDeRede", 1,
     "Sintaxe: %s ConfigurarInterfaceDeRede codigoDeAtivacao (+ config.ini)\n\n", run_configurar_rede,
     nullptr},
    {"AssociarAssinatura", 1, "Sintaxe: %s AssociarAssinatura codigoDeAtivacao (+ config.ini)\n\n",
     run_associar, nullptr},
    {"AtualizarSoftwareSAT", 1, "Sintaxe: %s AtualizarSoftwareSAT codigoDeAtivacao \n\n", run_atualizar,
     nullptr},
    {"ExtrairLogs", 1, "Sintaxe: %s ExtrairLogs codigoDeAtivacao \n\n", run_extrair_logs, nullptr},
    {"BloquearSAT", 1, "Sintaxe: %s BloquearSAT codigoDeAtivacao \n\n", run_bloquear, nullptr},
    {"DesbloquearSAT", 1, "Sintaxe: %s DesbloquearSAT codigoDeAtivacao \n\n", run_desbloquear, nullptr},
    {"TrocarCodigoDeAtivacao", 3,
     "Sintaxe: %s TrocarCodigoDeAtivacao codigoDeAtivacao opcao novoCodigo\n"
     "         opcao: 1 -> Codigo de Ativacao - 2 -> Codigo de Emergencia\n\n",
     run_trocar_codigo, nullptr},
    {"EnviarDadosVenda", 2, "Sintaxe: %s EnviarDadosVenda codigoDeAtivacao  arquivoCFe\n\n", run_enviar_venda,
     nullptr},
    {"CancelarUltimaVenda", 2, "Sintaxe: %s CancelarUltimaVenda codigoDeAtivacao  arquivoCFeCanc\n\n",
     run_cancelar_venda, nullptr},
    {"SetDriver", 2, "Sintaxe: %s SetDriver Parametro Valor \n\n", run_set_driver,
     &Library::supports_set_driver},
};

int usage(const char* program, const Library& library) {
  printf("\n%s - Versao: %s - Zunra Informatica\n", program, kVersion);
  printf("Sintaxe: %s funcao [args] \n", program);
  puts("funcoes:");
  puts("   AssociarAssinatura codigoDeAtivacao (config.ini)");
  puts("   AtivarSAT codigoDeAtivacao (config.ini)");
  puts("   AtualizarSoftwareSAT codigoDeAtivacao");
  puts("   BloquearSAT codigoDeAtivacao");
  puts("   ConfigurarInterfaceDeRede codigoDeAtivacao (config.ini)");
  puts("   ConsultarSAT");
  puts("   ConsultarNumeroSessao codigoDeAtivacao cNumeroDeSessao");
  if (library.supports_ultima_sessao_fiscal()) puts("   ConsultarUltimaSessaoFiscal codigoDeAtivacao");
  puts("   ConsultarStatusOperacional codigoDeAtivacao");
  puts("   DesbloquearSAT codigoDeAtivacao");
  puts("   ExtrairLogs codigoDeAtivacao");
  puts("   TesteFimAFim codigoDeAtivacao (config.ini)");
  puts("   TrocarCodigoDeAtivacao codigoDeAtivacao opcao novoCodigo");
  puts("   EnviarDadosVenda codigoDeAtivacao arquivo_CFe");
  puts("   CancelarUltimaVenda codigoDeAtivacao arquivo_CFeCanc");
  putchar('\n');
  return 1;
}

// Before a single-exchange call that may wait more than 10 s for the unit,
// how long, on standard error: its timeout pair as the library holds it
// once its settings are read. A library without the exported pair says
// nothing. (A sale's or a query's attempts add up to no fixed figure.)
void announce_long_wait(const Library& library, const char* function) {
  static const char* const kPairs[][2] = {
      {"AtivarSAT", "T_Ativ"},
      {"ComunicarCertificadoICPBRASIL", "T_ICP"},
      {"ConsultarSAT", "T_Cons"},
      {"TesteFimAFim", "T_Fim"},
      {"ConsultarStatusOperacional", "T_Stat"},
      {"ConfigurarInterfaceDeRede", "T_Rede"},
      {"AssociarAssinatura", "T_Assoc"},
      {"AtualizarSoftwareSAT", "T_Atual"},
      {"ExtrairLogs", "T_Logs"},
      {"BloquearSAT", "T_Bloq"},
      {"DesbloquearSAT", "T_Desbloq"},
      {"TrocarCodigoDeAtivacao", "T_CodAtiv"},
  };
  for (const auto& [name, pair_name] : kPairs) {
    if (strcmp(name, function) != 0) continue;
    const auto* pair = static_cast<const int*>(dlsym(library.handle, pair_name));
    const auto* serial = static_cast<const char*>(dlsym(library.handle, "SAT_SERIAL"));
    const auto load = reinterpret_cast<int (*)()>(dlsym(library.handle, "init_lib"));
    if (pair == nullptr || serial == nullptr || load == nullptr) return;
    if (serial[0] == '\0') load();  // what the call would read at its first open
    const long seconds = pair[0] * 60L + pair[1];
    if (seconds > 10) fprintf(stderr, "aguardando o SAT por ate %ld s\n", seconds);
  }
}

int run(int argc, char** argv) {
  clear_session_history();
  Library library;
  if (!bind_library(library)) return 1;

  const char* program = argv[0] != nullptr ? argv[0] : "sat_cli";
  if (argc < 2) return usage(program, library);
  for (const Command& command : kCommands) {
    if (strcmp(command.name, argv[1]) != 0) continue;
    if (command.supported != nullptr && !(library.*command.supported)()) {
      puts("Funcao nao suportada pela biblioteca\n");
      return 1;
    }
    const int count = argc - 2;
    if (command.count >= 0 && count != command.count) {
      printf(command.syntax, program);
      return 1;
    }
    announce_long_wait(library, command.name);
    return command.run(Invocation{program, argv + 2, library});
  }
  fprintf(stderr, "funcao desconhecida: %s\n", argv[1]);
  return usage(program, library);
}

}  // namespace
}  // namespace zunra::cli

int main(int argc, char** argv) {
  return zunra::cli::run(argc, argv);
}
