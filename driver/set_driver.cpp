// SetDriver: run-time changes of the device, the switches and the retry
// settings. It takes no call lock and never touches the reply buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver_log.h"
#include "no_cancel.h"
#include "settings.h"
#include "settings_file.h"
#include "settings_table.h"

namespace zunra {
namespace {

constexpr char kOk[] = "OK";
constexpr char kError[] = "ERRO";
constexpr char kUnsupported[] = "FALHA";

bool begins_with_true(const char* value) {
  return std::strncmp(value, "true", 4) == 0;
}

const char* discover(const char*) {
  debug_log("Funcao DISCOVER nao implementada no comando SetDriver", " ");
  return kUnsupported;
}

// The device is not opened here; a path too long to hold is refused whole.
const char* set_serial(const char* value) {
  DevicePath path;
  if (*value == '\0' || !device_path_for(value, path)) {
    debug_log("Erro ao tentar configurar Interface via comando SetDriver", " ");
    return kError;
  }
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, path.text);
  debug_log("Interface configurada via comando SetSAT: ", path.text);
  return kOk;
}

const char* set_no_popup(const char* value) {
  if (begins_with_true(value)) {
    store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "true");
    debug_log("Mensagens Popup desativadas via comando SetDriver", " ");
  } else {
    debug_log("Mensagens Popup ativadas via comando SetDriver", " ");
    store_text(SAT_NOPOPUP, sizeof SAT_NOPOPUP, "false");
  }
  return kOk;
}

// A switch that logs after switching on and before switching off, so that
// turning debugging itself on or off is always recorded.
struct Switch {
  int* target;
  const char* on;
  const char* off;
};

const char* set_switch(const Switch& s, const char* value) {
  if (begins_with_true(value)) {
    change_setting(*s.target, 1);
    debug_log(s.on, " ");
  } else {
    debug_log(s.off, " ");
    change_setting(*s.target, 0);
  }
  return kOk;
}

const Switch kLock{&ModoLock, "Lock das funções ativado via comando SetDriver",
                   "Lock das funções desativado via comando SetDriver"};
const Switch kRet10001{&Ret10001, "Retorno 10099->10001 ativado via comando SetDriver",
                       "Retorno 10099->10001 desativado via comando SetDriver"};
const Switch kJournal{&journal_on, "Diario fiscal ativado via comando SetDriver",
                      "Diario fiscal desativado via comando SetDriver"};
const Switch kDebug{&ModoDebug, "Debug ativado via comando SetDriver",
                    "Debug desativado via comando SetDriver"};

// Two characters exactly, taken with atoi. A value below the minimum sets
// the minimum, one of another length the built-in value; both answer "ERRO".
struct Number {
  const RetrySetting& setting;
  const char* invalid;
  const char* changed;  // logged with the value
  const char* raised;
};

const char* set_number(const Number& n, const char* value) {
  if (std::strlen(value) != 2) {
    change_setting(*n.setting.value, n.setting.built_in);
    debug_log(n.invalid, " ");
    return kError;
  }
  int number = std::atoi(value);
  if (number >= n.setting.minimum) {
    change_setting(*n.setting.value, number);
    debug_log(n.changed, value);
    return kOk;
  }
  change_setting(*n.setting.value, n.setting.minimum);
  debug_log(n.raised, " ");
  return kError;
}

const Number kNumTent{
    kNumTentSetting, "(SetDriver)N_TENT: valor inválido",
    "(SetDriver)Num. de tentativas de transmissão de cupons redefinido para: ",
    "(SetDriver)Num. de tentativas de transmissão de cupons redefinido para valor mínimo: 1"};
const Number kTmpTent{
    kTmpTentSetting, "(SetDriver)TMP_TENT: valor inválido",
    "(SetDriver)Tempo entre tentativas de transmissão de cupons redefinido para: ",
    "(SetDriver)Tempo entre tentativas de transmissão de cupons redefinido para valor mínimo: 3"};

const char* version(const char*) {
  debug_log("(SetDriver)Informada versão da DLL via comando SetDriver: ", kVersion);
  return kVersion;
}

struct Parameter {
  const char* name;
  std::size_t compared;  // leading characters of Parametro that must match
  const char* (*apply)(const char* value);
};

// The first match decides; "RET_" and "TMP_TEN" are all that is compared of
// the longer names.
const Parameter kParameters[] = {
    {"DISCOVER", 8, discover},
    {"SERIAL", 6, set_serial},
    {"NO_POPUP", 8, set_no_popup},
    {"LOCK", 4, [](const char* v) { return set_switch(kLock, v); }},
    {"RET_10001", 4, [](const char* v) { return set_switch(kRet10001, v); }},
    {"DEBUG", 5, [](const char* v) { return set_switch(kDebug, v); }},
    {"N_TENT", 6, [](const char* v) { return set_number(kNumTent, v); }},
    {"TMP_TENT", 7, [](const char* v) { return set_number(kTmpTent, v); }},
    {"VERSAO", 6, version},
    {"JOURNAL", 7, [](const char* v) { return set_switch(kJournal, v); }},
};

const char* set_driver(const char* parameter, const char* value) {
  ensure_settings_loaded();
  // Printed whatever NO_POPUP says.
  std::printf("Parametro: |%s| - Valor: |%s|\n", parameter, value);
  for (const Parameter& p : kParameters)
    if (std::strncmp(parameter, p.name, p.compared) == 0) return p.apply(value);
  debug_log("Funcao nao implementada no comando SetDriver", " ");
  return kUnsupported;
}

}  // namespace
}  // namespace zunra

extern "C" const char* SetDriver(const char* Parametro, const char* Valor) {
  const zunra::NoCancel no_cancel;
  try {
    return zunra::set_driver(Parametro ? Parametro : "", Valor ? Valor : "");
  } catch (...) {
    return zunra::kUnsupported;
  }
}
