// The driver settings file, <dir>/sat.ini: [DEFAULT] with the device, the
// switches and the retry settings, and an optional [TIMEOUT] with one MM:SS
// text per SAT function.
#include "settings_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver_log.h"

extern "C" {
char sMM[3];
char sSS[3];
}

namespace zunra {
namespace {

struct TimeoutKey {
  int* pair;
  const char* key;
  const char* message;
};

// In reading order. "Interfacce" is how the log has always spelt it.
const TimeoutKey kTimeoutKeys[] = {
    {T_Ativ, "T_ATIVAR_SAT", "Timeout_AtivarSAT redefinido para: "},
    {T_ICP, "T_COMUNICAR_CERTIFICADO_ICPBRASIL", "Timeout_ComunicarCertificadoICPBRASIL redefinido para: "},
    {T_Venda, "T_ENVIAR_DADOS_VENDA", "Timeout_EnviarDadosVenda redefinido para: "},
    {T_Canc, "T_CANCELAR_ULTIMA_VENDA", "Timeout_CancelarUltimaVenda redefinido para: "},
    {T_Cons, "T_CONSULTAR_SAT", "Timeout_ConsultarSAT redefinido para: "},
    {T_Fim, "T_TESTE_FIM_A_FIM", "Timeout_TesteFimAFim redefinido para: "},
    {T_Stat, "T_CONSULTAR_STATUS_OPERACIONAL", "Timeout_ConsultarStatusOperacional redefinido para: "},
    {T_Sessao, "T_CONSULTAR_NUMERO_SESSAO", "Timeout_ConsultarNumeroSessao redefinido para: "},
    {T_SessaoFiscal, "T_CONSULTAR_ULTIMA_SESSAO_FISCAL",
     "Timeout_ConsultarUltimaSessaoFiscal redefinido para: "},
    {T_Rede, "T_CONFIGURAR_INTERFACE_DE_REDE", "Timeout_ConfigurarInterfacceDeRede redefinido para: "},
    {T_Assoc, "T_ASSOCIAR_ASSINATURA", "Timeout_AssociarAssinatura redefinido para: "},
    {T_Atual, "T_ATUALIZAR_SOFTWARE_SAT", "Timeout_AtualizarSoftwareSAT redefinido para: "},
    {T_Logs, "T_EXTRAIR_LOGS", "Timeout_ExtrairLogs redefinido para: "},
    {T_Bloq, "T_BLOQUEAR_SAT", "Timeout_BloquearSAT redefinido para: "},
    {T_Desbloq, "T_DESBLOQUEAR_SAT", "Timeout_DesbloquearSAT redefinido para: "},
    {T_CodAtiv, "T_TROCAR_CODIGO_DE_ATIVACAO", "Timeout_TrocarCodigoDeAtivacao redefinido para: "},
};

// A retry setting of the file: one or two decimal digits, raised to a minimum.
struct RetryKey {
  const char* key;
  int* target;
  int minimum;
  const char* changed;  // logged with the text
  const char* raised;   // logged with the minimum
  const char* minimum_text;
};

const RetryKey kRetryKeys[] = {
    {"N_TENT", &NumTent, 1, "Num. de tentativas de transmissao de cupons redefinido para: ",
     "Num. de tentativas de transmissao cupons redefinido para valor minimo: ", "1"},
    {"TMP_TENT", &TmpTent, 3,
     "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): ",
     "Tempo entre tentativas de transmissao de cupons redefinido para valor minimo (em segundos): ", "3"},
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool one_or_two_digits(const char* text) {
  std::size_t len = std::strlen(text);
  return (len == 1 || len == 2) && is_digit(text[0]) && (len == 1 || is_digit(text[1]));
}

// Reads one switch into its text setting; the int derives from the text.
void read_switch(const char* key, const char* fallback, char* text, std::size_t size, int* derived,
                 const char* file) {
  char value[6];
  ini_gets("DEFAULT", key, fallback, value, sizeof value, file);
  store_text(text, size, value);
  if (derived) change_setting(*derived, switch_on(value) ? 1 : 0);
}

// A path that would not fit SAT_SERIAL leaves the default device.
void read_serial(DevicePath& serial, const char* file) {
  // Wider than any file line, so that a long value is seen whole.
  char value[520];
  ini_gets("DEFAULT", "SERIAL", "/dev/ttyACM0", value, sizeof value, file);
  if (!device_path_for(value, serial))
    debug_log("Interface do arquivo ini ignorada, caminho com mais de 29 caracteres: ", value);
}

void read_retry(const RetryKey& r, const char* file) {
  char text[6];
  ini_gets("DEFAULT", r.key, " ", text, sizeof text, file);
  if (!one_or_two_digits(text)) return;
  int value = std::atoi(text);
  if (value >= r.minimum) {
    change_setting(*r.target, value);
    debug_log(r.changed, text);
  } else {
    change_setting(*r.target, r.minimum);
    debug_log(r.raised, r.minimum_text);
  }
}

// Timeouts are read only when [TIMEOUT], in capitals, is the first or the
// second section of the file.
bool has_timeout_section(const char* file) {
  for (int index = 0; index < 2; ++index) {
    char name[10];
    if (ini_getsection(index, name, sizeof name, file) > 0 && std::strncmp(name, "TIMEOUT", 7) == 0)
      return true;
  }
  return false;
}

void read_timeouts(const char* file) {
  debug_log("Definicao de novos timeouts presente.", " ");
  for (const TimeoutKey& t : kTimeoutKeys) {
    char text[30];
    ini_gets("TIMEOUT", t.key, " ", text, sizeof text, file);
    if (std::strlen(text) != 5 || !validate_timeout(text)) continue;
    t.pair[0] = std::atoi(sMM);
    t.pair[1] = std::atoi(sSS);
    debug_log(t.message, text);
  }
}

}  // namespace

bool device_path_for(const char* value, DevicePath& out) {
  const std::size_t prefix = std::strncmp(value, "/dev/", 5) == 0 ? 0 : 5;
  const std::size_t len = std::strlen(value);
  if (prefix + len > kMaxSerialPath) return false;
  std::memcpy(out.text, "/dev/", prefix);
  std::memcpy(out.text + prefix, value, len + 1);
  return true;
}

void read_settings_file(DevicePath& serial) {
  const std::string path = settings_file_path();
  const char* file = path.c_str();
  if (!readable_file(file)) return;

  read_switch("DEBUG", "false", SAT_DEBUG, sizeof SAT_DEBUG, &ModoDebug, file);
  read_serial(serial, file);
  read_switch("NO_POPUP", "true", SAT_NOPOPUP, sizeof SAT_NOPOPUP, nullptr, file);
  read_switch("CORRECAO", "false", SAT_CORRECAO, sizeof SAT_CORRECAO, &Corrigir, file);
  read_switch("LOCK", "true", SAT_LOCK, sizeof SAT_LOCK, &ModoLock, file);
  read_switch("RET_10001", "false", SAT_RET_10001, sizeof SAT_RET_10001, &Ret10001, file);

  if (setting(ModoDebug)) {
    debug_log("Arquivo \"ini\" esta presente. Modo debug ativado", " ");
    debug_log("Versao da lib: ", kVersion);
    debug_log("Utilizando interface: ", serial.text);
    debug_log(switch_on(SAT_NOPOPUP) ? "Mensagens Popup desativadas" : "Mensagens Popup ativadas", " ");
    debug_log(setting(Corrigir) ? "Correcao de caracteres escapados ativada"
                                : "Correcao de caracteres escapados desativada",
              " ");
    debug_log(setting(ModoLock) ? "Lock das funcoes ativada" : "Lock das funcoes desativada", " ");
    debug_log(setting(Ret10001) ? "Retorno 10099->10001 ativado" : "Retorno 10099->10001 desativado", " ");
  }

  for (const RetryKey& r : kRetryKeys) read_retry(r, file);

  if (has_timeout_section(file)) read_timeouts(file);
}

bool validate_timeout(const char* text) {
  if (!text) return false;
  // Stops at the first mismatch, so a text shorter than five characters is
  // never read past its end.
  static constexpr char kShape[] = "99:99";
  for (int i = 0; i < 5; ++i) {
    bool fits = kShape[i] == ':' ? text[i] == ':' : is_digit(text[i]);
    if (!fits) return false;
  }
  sMM[0] = text[0];
  sMM[1] = text[1];
  sMM[2] = '\0';
  sSS[0] = text[3];
  sSS[1] = text[4];
  sSS[2] = '\0';
  return true;
}

bool readable_file(const char* path) {
  if (!path) return false;
  std::FILE* f = std::fopen(path, "re");
  if (!f) return false;
  std::fclose(f);
  return true;
}

}  // namespace zunra
