#include "settings.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "settings_file.h"
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

namespace zunra {
namespace {

// Held for the whole of a loading, so that threads making their first call
// together load once and all wait until it is over. A fork waits for a
// loading under way to end: a child must not inherit the mutex held by a
// thread it does not have, nor settings read halfway.
std::mutex& loading_guard() {
  static std::mutex guard;
  static std::once_flag once;
  std::call_once(
      once, [] { ::pthread_atfork([] { guard.lock(); }, [] { guard.unlock(); }, [] { guard.unlock(); }); });
  return guard;
}

// Caller holds loading_guard(). Never throws: only building the paths of
// the settings directory allocates, and without them the built-in values
// hold; the device path is stored in any case, which marks loading done.
void load_settings() noexcept {
  DevicePath serial{};
  std::memcpy(serial.text, kBuiltInSerial, sizeof kBuiltInSerial);
  for (const SwitchSetting& s : kSwitches) store_text(s.text, s.size, s.built_in);
  change_setting(log_max_kb, kLogMaxKbSetting.built_in);
  try {
    read_settings_file(serial);
  } catch (...) {
  }
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, serial.text);
}

char load_byte(const char& c) {
  return __atomic_load_n(&c, __ATOMIC_ACQUIRE);
}

}  // namespace

std::string settings_dir() {
  const char* dir = std::getenv("ZUNRA_SAT_DIR");
  return (dir && *dir) ? dir : "/var/zunra_dorvex";
}

std::string settings_file_path() {
  return settings_dir() + "/sat.ini";
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

void ensure_settings_loaded() {
  if (load_byte(SAT_SERIAL[0]) != '\0') return;
  std::lock_guard<std::mutex> hold(loading_guard());
  if (load_byte(SAT_SERIAL[0]) == '\0') load_settings();
}

void restore_built_in_settings() {
  for (const SwitchSetting& s : kSwitches) {
    store_text(s.text, s.size, s.built_in);
    if (s.number) change_setting(*s.number, switch_on(s.built_in) ? 1 : 0);
  }
  for (const RetrySetting* r : {&kNumTentSetting, &kTmpTentSetting}) change_setting(*r->value, r->built_in);
  for (const TimeoutSetting& t : kTimeouts) t.pair[0] = t.minutes, t.pair[1] = t.seconds;
  change_setting(log_max_kb, kLogMaxKbSetting.built_in);
}

void reload_settings() {
  std::lock_guard<std::mutex> hold(loading_guard());
  load_settings();
}

}  // namespace zunra
