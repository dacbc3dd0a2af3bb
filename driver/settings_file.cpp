// The driver settings file, <dir>/sat.ini: [DEFAULT] with the device, the
// switches and the retry settings, and an optional [TIMEOUT] with one MM:SS
// text per SAT function.
#include "settings_file.h"

#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "driver_log.h"
#include "ini_file.h"
#include "settings_table.h"

extern "C" {
char sMM[3];
char sSS[3];
}

namespace zunra {
namespace {

// A retry setting of the file: one or two decimal digits, raised to its minimum.
struct RetryKey {
  const RetrySetting& setting;
  const char* changed;  // logged with the text
  const char* raised;   // logged with the minimum
  const char* minimum_text;
};

const RetryKey kRetryKeys[] = {
    {kNumTentSetting, "Num. de tentativas de transmissao de cupons redefinido para: ",
     "Num. de tentativas de transmissao cupons redefinido para valor minimo: ", "1"},
    {kTmpTentSetting, "Tempo entre tentativas de transmissao de cupons redefinido para (em segundos): ",
     "Tempo entre tentativas de transmissao de cupons redefinido para valor minimo (em segundos): ", "3"},
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool one_or_two_digits(const char* text) {
  std::size_t len = std::strlen(text);
  return (len == 1 || len == 2) && is_digit(text[0]) && (len == 1 || is_digit(text[1]));
}

// Reads one switch into its text setting; the number derives from the text.
void read_switch(const SwitchSetting& s, const char* file) {
  char value[6];
  ini_gets("DEFAULT", s.key, s.built_in, value, sizeof value, file);
  store_text(s.text, s.size, value);
  if (s.number) change_setting(*s.number, switch_on(value) ? 1 : 0);
}

// A path that would not fit SAT_SERIAL leaves the default device.
void read_serial(DevicePath& serial, const char* file) {
  // Wider than any file line, so that a long value is seen whole.
  char value[520];
  ini_gets("DEFAULT", "SERIAL", kBuiltInSerial, value, sizeof value, file);
  if (!device_path_for(value, serial))
    debug_log("Interface do arquivo ini ignorada, caminho com mais de 29 caracteres: ", value);
}

void read_retry(const RetryKey& r, const char* file) {
  char text[6];
  ini_gets("DEFAULT", r.setting.key, " ", text, sizeof text, file);
  if (!one_or_two_digits(text)) return;
  int value = std::atoi(text);
  if (value >= r.setting.minimum) {
    change_setting(*r.setting.value, value);
    debug_log(r.changed, text);
  } else {
    change_setting(*r.setting.value, r.setting.minimum);
    debug_log(r.raised, r.minimum_text);
  }
}

// LOG_MAX_KB: digits only, within the setting's range.
void read_log_limit(const char* file) {
  const SizeSetting& s = kLogMaxKbSetting;
  char text[12];
  ini_gets("DEFAULT", s.key, " ", text, sizeof text, file);
  const std::size_t len = std::strlen(text);
  if (len == 0 || len > 7 || std::strspn(text, "0123456789") != len) return;
  const int value = std::atoi(text);
  if (value < 1 || value > s.maximum) return;
  change_setting(*s.value, value);
  debug_log("Tamanho maximo do log redefinido para (em KB): ", text);
}

void read_journal_switch(const char* file) {
  char value[6];
  ini_gets("DEFAULT", kJournalKey, "false", value, sizeof value, file);
  change_setting(journal_on, switch_on(value) ? 1 : 0);
  if (setting(journal_on)) debug_log("Diario fiscal ativado", " ");
}

void read_syslog_switch(const char* file) {
  char value[6];
  ini_gets("DEFAULT", kSyslogKey, "false", value, sizeof value, file);
  change_setting(syslog_lines, switch_on(value) ? 1 : 0);
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
  for (const TimeoutSetting& t : kTimeouts) {
    char text[30];
    ini_gets("TIMEOUT", t.key, " ", text, sizeof text, file);
    if (std::strlen(text) != 5 || !validate_timeout(text)) continue;
    t.pair[0] = std::atoi(sMM);
    t.pair[1] = std::atoi(sSS);
    debug_log(t.changed, text);
  }
}

// Out of descriptors or memory, or interrupted: the file may well be
// readable at the next call.
bool transient(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == EINTR;
}

// A settings file that exists but cannot be read leaves the built-in values
// in force (one attempt, the default device), which a technician must hear
// of: once per process on standard error, as the driver log does, and in
// the log while debugging.
void say_unreadable(const char* file, int error) {
  static std::atomic<pid_t> said_by{0};
  const char* why = error == EINVAL ? "nao e um arquivo comum" : std::strerror(error);
  const std::string detail = std::string(file) + ": " + why + "; valores padrao em uso";
  if (!say_once(said_by, "Erro ao ler o arquivo de configuracao ", detail.c_str())) return;
  debug_log("Erro ao ler o arquivo de configuracao, valores padrao em uso: ", file);
}

// Reads the settings file, when it exists, into the settings globals. The
// six texts hold their reset values on entry. The device path is left in
// `serial` rather than in SAT_SERIAL, which the caller stores last because
// a non-empty SAT_SERIAL tells other threads that loading is over. False
// when the file could not be read for a passing reason: loading is then
// not over, and the next call tries again.
bool read_settings_file(DevicePath& serial) {
  const std::string path = settings_file_path();
  const char* file = path.c_str();
  if (!readable_file(file)) {
    // Only a missing file means "no settings file".
    const int error = errno;
    if (transient(error)) return false;
    if (error != ENOENT) say_unreadable(file, error);
    return true;
  }

  // DEBUG comes first, so that a refused SERIAL value is logged.
  for (const SwitchSetting& s : kSwitches) read_switch(s, file);
  read_serial(serial, file);

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
  read_log_limit(file);
  read_journal_switch(file);
  read_syslog_switch(file);

  if (has_timeout_section(file)) read_timeouts(file);
  if (setting(ModoDebug)) {
    for (const IgnoredSetting& i : ignored_settings(file)) {
      std::string detail(1, '[');
      detail.append(i.section).append("] ").append(i.key).append(1, '=').append(i.value).append(": ").append(
          i.why);
      debug_log("Configuracao ignorada do sat.ini: ", detail.c_str());
    }
  }
  return true;
}

bool same_name(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

// Why loading passes over `key`=`value` of [DEFAULT]; empty when it takes it.
std::string why_default_ignored(const std::string& key, const std::string& value) {
  for (const SwitchSetting& s : kSwitches)
    if (same_name(key, s.key))
      return value == "true" || value == "false" ? "" : "nao e true nem false (minusculas)";
  for (const char* k : {kJournalKey, kSyslogKey})
    if (same_name(key, k))
      return value == "true" || value == "false" ? "" : "nao e true nem false (minusculas)";
  for (const RetryKey& r : kRetryKeys)
    if (same_name(key, r.setting.key))
      return one_or_two_digits(value.c_str()) ? "" : "nao e um numero de um ou dois digitos";
  if (same_name(key, kLogMaxKbSetting.key)) {
    const bool digits =
        !value.empty() && value.size() <= 7 && value.find_first_not_of("0123456789") == std::string::npos;
    const int n = digits ? std::atoi(value.c_str()) : 0;
    return n >= 1 && n <= kLogMaxKbSetting.maximum ? "" : "nao e um numero inteiro de 1 a 4194304";
  }
  if (same_name(key, "SERIAL")) {
    DevicePath unused{};
    return device_path_for(value.c_str(), unused) ? "" : "caminho com mais de 29 caracteres";
  }
  return "chave desconhecida";
}

std::string why_timeout_ignored(const std::string& key, const std::string& value) {
  for (const TimeoutSetting& t : kTimeouts)
    if (same_name(key, t.key))
      return value.size() == 5 && validate_timeout(value.c_str()) ? "" : "nao esta no formato MM:SS";
  return "chave desconhecida";
}

struct Browse {
  bool timeouts_read;
  std::vector<IgnoredSetting> ignored;
  std::string seen;  // "\nsection\tkey\n" of each line so far, lower case
};

int note_line(const char* section, const char* key, const char* value, const void* data) {
  Browse& b = *static_cast<Browse*>(const_cast<void*>(data));
  const std::string s = section ? section : "", k = key, v = value;
  std::string why;
  if (s.empty()) {
    why = "fora de uma secao: o driver so le [DEFAULT] e [TIMEOUT]";
  } else if (same_name(s, "DEFAULT")) {
    why = why_default_ignored(k, v);
  } else if (same_name(s, "TIMEOUT")) {
    why = b.timeouts_read ? why_timeout_ignored(k, v)
                          : "[TIMEOUT] so e lida escrita em maiusculas e como primeira ou segunda secao";
  } else {
    why = "secao desconhecida: o driver so le [DEFAULT] e [TIMEOUT]";
  }
  std::string id(1, '\n');
  id.append(s).append(1, '\t').append(k).append(1, '\n');
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (why.empty() && b.seen.find(id) != std::string::npos) why = "repetida: vale a primeira";
  b.seen += id;
  if (!why.empty()) b.ignored.push_back({s, k, v, why});
  return 1;
}

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
// the settings directory allocates, and running out of memory there is
// passing like any other. Storing the device path marks loading done; after
// a passing failure SAT_SERIAL is left empty, so the next call loads again.
void load_settings() noexcept {
  DevicePath serial{};
  std::memcpy(serial.text, kBuiltInSerial, sizeof kBuiltInSerial);
  for (const SwitchSetting& s : kSwitches) store_text(s.text, s.size, s.built_in);
  change_setting(log_max_kb, kLogMaxKbSetting.built_in);
  change_setting(journal_on, 0);
  change_setting(syslog_lines, 0);
  bool done = false;
  try {
    done = read_settings_file(serial);
  } catch (...) {
  }
  store_text(SAT_SERIAL, sizeof SAT_SERIAL, done ? serial.text : "");
}

bool loaded() {
  return __atomic_load_n(&SAT_SERIAL[0], __ATOMIC_ACQUIRE) != '\0';
}

}  // namespace

std::string settings_file_path() {
  return settings_dir() + "/sat.ini";
}

void ensure_settings_loaded() {
  if (loaded()) return;
  std::lock_guard<std::mutex> hold(loading_guard());
  if (!loaded()) load_settings();
}

void reload_settings() {
  std::lock_guard<std::mutex> hold(loading_guard());
  load_settings();
}

std::vector<IgnoredSetting> ignored_settings(const char* file) {
  Browse browse{has_timeout_section(file), {}, {}};
  ini_browse(note_line, &browse, file);
  return browse.ignored;
}

bool device_path_for(const char* value, DevicePath& out) {
  const std::size_t prefix = std::strncmp(value, "/dev/", 5) == 0 ? 0 : 5;
  const std::size_t len = std::strlen(value);
  if (prefix + len > kMaxSerialPath) return false;
  std::memcpy(out.text, "/dev/", prefix);
  std::memcpy(out.text + prefix, value, len + 1);
  return true;
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
  return ini_readable_file(path);
}

}  // namespace zunra
