#include "settings.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "settings_file.h"

extern "C" {
char SAT_SERIAL[30];
char SAT_DEBUG[7];
char SAT_NOPOPUP[7];
char SAT_CORRECAO[7];
char SAT_LOCK[7];
char SAT_RET_10001[7];

int ModoDebug = 0;
int Corrigir = 0;
int ModoLock = 1;
int Ret10001 = 0;
int NumTent = 1;
int TmpTent = 6;

int T_Ativ[2] = {5, 0};
int T_ICP[2] = {5, 0};
int T_Venda[2] = {0, 20};
int T_Canc[2] = {0, 3};
int T_Cons[2] = {0, 4};
int T_Fim[2] = {0, 40};
int T_Stat[2] = {0, 4};
int T_Sessao[2] = {0, 20};
int T_SessaoFiscal[2] = {0, 20};
int T_Rede[2] = {0, 20};
int T_Assoc[2] = {30, 0};
int T_Atual[2] = {30, 0};
int T_Logs[2] = {0, 20};
int T_Bloq[2] = {5, 0};
int T_Desbloq[2] = {0, 40};
int T_CodAtiv[2] = {0, 20};
}

namespace zunra {
namespace {

// Held for the whole of a loading, so that threads making their first call
// together load once and all wait until it is over.
std::mutex& loading_guard() {
  static std::mutex guard;
  return guard;
}

// Caller holds loading_guard(). Never throws: only building the paths of
// the settings directory allocates, and without them the built-in values
// hold; the device path is stored in any case, which marks loading done.
void load_settings() noexcept {
  DevicePath serial{"/dev/ttyACM0"};
  store_text(SAT_DEBUG, sizeof SAT_DEBUG, "false");
  store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "true");
  store_text(SAT_CORRECAO, sizeof SAT_CORRECAO, "false");
  store_text(SAT_LOCK, sizeof SAT_LOCK, "true");
  store_text(SAT_RET_10001, sizeof SAT_RET_10001, "false");
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

void reload_settings() {
  std::lock_guard<std::mutex> hold(loading_guard());
  load_settings();
}

}  // namespace zunra
