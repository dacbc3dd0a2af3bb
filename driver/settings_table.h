// Every driver setting once: its sat.ini key, the global that holds it and
// its built-in value. The settings code, the settings file, SetDriver, the
// tests and the benchmarks all take names and built-in values from here.
#pragma once

#include <cstddef>
#include <string_view>

#include "zunra_sat_legacy.h"

namespace zunra {

inline constexpr char kBuiltInSerial[] = "/dev/ttyACM0";

// A [DEFAULT] switch: its text, and the number that follows the text.
struct SwitchSetting {
  const char* key;
  char* text;
  std::size_t size;
  int* number;  // null: only the text is kept (NO_POPUP)
  const char* built_in;
};

// In the order sat.ini is read.
inline constexpr SwitchSetting kSwitches[] = {
    {"DEBUG", SAT_DEBUG, sizeof SAT_DEBUG, &ModoDebug, "false"},
    {"NO_POPUP", SAT_NOPOPUP, sizeof SAT_NOPOPUP, nullptr, "true"},
    {"CORRECAO", SAT_CORRECAO, sizeof SAT_CORRECAO, &Corrigir, "false"},
    {"LOCK", SAT_LOCK, sizeof SAT_LOCK, &ModoLock, "true"},
    {"RET_10001", SAT_RET_10001, sizeof SAT_RET_10001, &Ret10001, "false"},
};

// A retry setting: a whole number raised to its minimum.
struct RetrySetting {
  const char* key;
  int* value;
  int built_in;
  int minimum;
};

inline constexpr RetrySetting kNumTentSetting{"N_TENT", &NumTent, 1, 1};
inline constexpr RetrySetting kTmpTentSetting{"TMP_TENT", &TmpTent, 6, 3};

// The driver log's limit in KiB: past it the log becomes
// lib_zunra_dorvex.log.1 and starts again. A whole number from 1 up to
// `maximum` (4 GiB); any other text in the file leaves the built-in 8 MiB.
// Only the file sets it.
extern int log_max_kb;
struct SizeSetting {
  const char* key;
  int* value;
  int built_in;
  int maximum;
};
inline constexpr SizeSetting kLogMaxKbSetting{"LOG_MAX_KB", &log_max_kb, 8192, 4 * 1024 * 1024};

// The fiscal journal (journal.jsonl in the settings directory): written
// while JOURNAL starts with "true". Built-in off; sat.ini or SetDriver
// turn it on.
extern int journal_on;
inline constexpr char kJournalKey[] = "JOURNAL";
// SYSLOG: on ("true...") sends one syslog line per fallback reply and per
// session query of a recovery. Off built in; only the file sets it.
extern int syslog_lines;
inline constexpr char kSyslogKey[] = "SYSLOG";

// One timeout pair per SAT function, in the order [TIMEOUT] is read.
struct TimeoutSetting {
  int* pair;
  const char* key;  // in [TIMEOUT], value "MM:SS"
  int minutes, seconds;
  const char* changed;  // logged with the text when the file sets it
};

// "Interfacce" is how the log has always spelt it.
inline constexpr TimeoutSetting kTimeouts[] = {
    {T_Ativ, "T_ATIVAR_SAT", 5, 0, "Timeout_AtivarSAT redefinido para: "},
    {T_ICP, "T_COMUNICAR_CERTIFICADO_ICPBRASIL", 5, 0,
     "Timeout_ComunicarCertificadoICPBRASIL redefinido para: "},
    {T_Venda, "T_ENVIAR_DADOS_VENDA", 0, 20, "Timeout_EnviarDadosVenda redefinido para: "},
    {T_Canc, "T_CANCELAR_ULTIMA_VENDA", 0, 3, "Timeout_CancelarUltimaVenda redefinido para: "},
    {T_Cons, "T_CONSULTAR_SAT", 0, 4, "Timeout_ConsultarSAT redefinido para: "},
    {T_Fim, "T_TESTE_FIM_A_FIM", 0, 40, "Timeout_TesteFimAFim redefinido para: "},
    {T_Stat, "T_CONSULTAR_STATUS_OPERACIONAL", 0, 4, "Timeout_ConsultarStatusOperacional redefinido para: "},
    {T_Sessao, "T_CONSULTAR_NUMERO_SESSAO", 0, 20, "Timeout_ConsultarNumeroSessao redefinido para: "},
    {T_SessaoFiscal, "T_CONSULTAR_ULTIMA_SESSAO_FISCAL", 0, 20,
     "Timeout_ConsultarUltimaSessaoFiscal redefinido para: "},
    {T_Rede, "T_CONFIGURAR_INTERFACE_DE_REDE", 0, 20, "Timeout_ConfigurarInterfacceDeRede redefinido para: "},
    {T_Assoc, "T_ASSOCIAR_ASSINATURA", 30, 0, "Timeout_AssociarAssinatura redefinido para: "},
    {T_Atual, "T_ATUALIZAR_SOFTWARE_SAT", 30, 0, "Timeout_AtualizarSoftwareSAT redefinido para: "},
    {T_Logs, "T_EXTRAIR_LOGS", 0, 20, "Timeout_ExtrairLogs redefinido para: "},
    {T_Bloq, "T_BLOQUEAR_SAT", 5, 0, "Timeout_BloquearSAT redefinido para: "},
    {T_Desbloq, "T_DESBLOQUEAR_SAT", 0, 40, "Timeout_DesbloquearSAT redefinido para: "},
    {T_CodAtiv, "T_TROCAR_CODIGO_DE_ATIVACAO", 0, 20, "Timeout_TrocarCodigoDeAtivacao redefinido para: "},
};

// The row of a timeout global, and the built-in number of a switch by its
// key, for their static initialisers: a global without a row fails the build.
constexpr const TimeoutSetting& timeout_of(const int* pair) {
  for (const TimeoutSetting& t : kTimeouts)
    if (t.pair == pair) return t;
  throw "a timeout pair without its row";
}
constexpr int switch_built_in(std::string_view key) {
  for (const SwitchSetting& s : kSwitches)
    if (key == s.key) return s.built_in[0] == 't';
  throw "a switch without its row";
}

// Every setting at its built-in value, the device path apart (for a
// program's test or benchmark that starts from a known state).
void restore_built_in_settings();

}  // namespace zunra
