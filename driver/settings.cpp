#include "settings.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

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

int init_lib(void) {
  std::strcpy(SAT_SERIAL, "/dev/ttyACM0");
  std::strcpy(SAT_DEBUG, "false");
  std::strcpy(SAT_NOPOPUP, "true");
  std::strcpy(SAT_CORRECAO, "false");
  std::strcpy(SAT_LOCK, "true");
  std::strcpy(SAT_RET_10001, "false");
  return 0;
}
}

namespace zunra {

std::string settings_dir() {
  const char* dir = std::getenv("ZUNRA_SAT_DIR");
  return (dir && *dir) ? dir : "/var/zunra_dorvex";
}

std::string settings_file_path() { return settings_dir() + "/sat.ini"; }
std::string driver_log_path() { return settings_dir() + "/lib_zunra_dorvex.log"; }

bool switch_on(const char* text) { return text && std::strncmp(text, "true", 4) == 0; }

void ensure_settings_loaded() {
  static std::mutex loading;
  if (__atomic_load_n(&SAT_SERIAL[0], __ATOMIC_ACQUIRE) != '\0') return;
  std::lock_guard<std::mutex> guard(loading);
  if (SAT_SERIAL[0] == '\0') init_lib();
}

}  // namespace zunra
