#include "settings.h"

#include <cstdlib>
#include <cstring>

#include "settings_table.h"

// Built-in values from the settings table, fixed when the library loads:
// a program that reads a setting before its first call sees them.
#if defined(__clang__)
#define ZUNRA_CONSTINIT __attribute__((require_constant_initialization))
#else
#define ZUNRA_CONSTINIT __constinit
#endif
#define ZUNRA_SWITCH(name, key) ZUNRA_CONSTINIT int name = zunra::switch_built_in(key)
#define ZUNRA_PAIR(name) \
  ZUNRA_CONSTINIT int name[2] = {zunra::timeout_of(name).minutes, zunra::timeout_of(name).seconds}

extern "C" {
char SAT_SERIAL[30];
char SAT_DEBUG[7];
char SAT_NOPOPUP[7];
char SAT_CORRECAO[7];
char SAT_LOCK[7];
char SAT_RET_10001[7];

ZUNRA_SWITCH(ModoDebug, "DEBUG");
ZUNRA_SWITCH(Corrigir, "CORRECAO");
ZUNRA_SWITCH(ModoLock, "LOCK");
ZUNRA_SWITCH(Ret10001, "RET_10001");
ZUNRA_CONSTINIT int NumTent = zunra::kNumTentSetting.built_in;
ZUNRA_CONSTINIT int TmpTent = zunra::kTmpTentSetting.built_in;

ZUNRA_PAIR(T_Ativ);
ZUNRA_PAIR(T_ICP);
ZUNRA_PAIR(T_Venda);
ZUNRA_PAIR(T_Canc);
ZUNRA_PAIR(T_Cons);
ZUNRA_PAIR(T_Fim);
ZUNRA_PAIR(T_Stat);
ZUNRA_PAIR(T_Sessao);
ZUNRA_PAIR(T_SessaoFiscal);
ZUNRA_PAIR(T_Rede);
ZUNRA_PAIR(T_Assoc);
ZUNRA_PAIR(T_Atual);
ZUNRA_PAIR(T_Logs);
ZUNRA_PAIR(T_Bloq);
ZUNRA_PAIR(T_Desbloq);
ZUNRA_PAIR(T_CodAtiv);
}

ZUNRA_CONSTINIT int zunra::log_max_kb = zunra::kLogMaxKbSetting.built_in;
ZUNRA_CONSTINIT int zunra::journal_on = 0;
ZUNRA_CONSTINIT int zunra::syslog_lines = 0;

namespace zunra {
namespace {

char load_byte(const char& c) {
  return __atomic_load_n(&c, __ATOMIC_ACQUIRE);
}

}  // namespace

std::string settings_dir() {
  const char* dir = std::getenv("ZUNRA_SAT_DIR");
  return (dir && *dir) ? dir : "/var/zunra_dorvex";
}

bool switch_on(const char* text) {
  return text && std::strncmp(text, "true", 4) == 0;
}

void store_text(char* dest, std::size_t size, const char* text) {
  if (size == 0) return;
  std::size_t len = std::strlen(text);
  if (len > size - 1) len = size - 1;
  for (std::size_t i = 1; i < len; ++i) __atomic_store_n(&dest[i], text[i], __ATOMIC_RELAXED);
  if (len > 0) __atomic_store_n(&dest[len], '\0', __ATOMIC_RELAXED);
  __atomic_store_n(&dest[0], len > 0 ? text[0] : '\0', __ATOMIC_RELEASE);
}

bool console_enabled() {
  static constexpr char kOn[] = "false";
  for (std::size_t i = 0; i < 5; ++i)
    if (load_byte(SAT_NOPOPUP[i]) != kOn[i]) return false;
  return true;
}

DevicePath serial_path() {
  DevicePath path{};
  for (std::size_t i = 0; i + 1 < sizeof path.text; ++i) {
    path.text[i] = load_byte(SAT_SERIAL[i]);
    if (path.text[i] == '\0') break;
  }
  return path;
}

void restore_built_in_settings() {
  for (const SwitchSetting& s : kSwitches) {
    store_text(s.text, s.size, s.built_in);
    if (s.number) change_setting(*s.number, switch_on(s.built_in) ? 1 : 0);
  }
  for (const RetrySetting* r : {&kNumTentSetting, &kTmpTentSetting}) change_setting(*r->value, r->built_in);
  for (const TimeoutSetting& t : kTimeouts) t.pair[0] = t.minutes, t.pair[1] = t.seconds;
  change_setting(log_max_kb, kLogMaxKbSetting.built_in);
  change_setting(journal_on, 0);
  change_setting(syslog_lines, 0);
}

}  // namespace zunra
