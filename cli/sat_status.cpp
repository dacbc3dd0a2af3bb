// sat_status: a technician's one-screen view of the driver on this till: the
// unit named in sat.ini, whether it is there and who holds it, what every
// program's calls came to (the counters file), the last fallback, the
// journal's unresolved entries and the log's size. --json for scripts,
// --prometheus for the fleet's monitoring (Prometheus text format), and
// --prometheus-dir DIR writes DIR/zunra_sat.prom for node-exporter's
// textfile collector. It reads; it never creates the counters file, a lock
// file or the log, and never talks to the unit.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "counters.h"
#include "device_lock.h"
#include "driver_log.h"
#include "ini_file.h"
#include "journal_file.h"
#include "journal_reading.h"
#include "settings.h"
#include "settings_file.h"
#include "settings_table.h"

namespace zunra::status {
namespace {

using counters::kFunctionNames;
using counters::kFunctions;
using counters::kOutcomeNames;

constexpr char kUsage[] =
    "uso: sat_status [--json | --prometheus | --prometheus-dir DIR | --check]\n"
    "  sem opcoes           situacao do SAT e do driver, para o tecnico\n"
    "  --json               o mesmo em JSON\n"
    "  --prometheus         contadores no formato texto do Prometheus\n"
    "  --prometheus-dir DIR grava DIR/zunra_sat.prom (coletor textfile do node-exporter)\n"
    "  --check              linhas do sat.ini que o driver ignora e por que, e os valores em vigor\n";

enum class DeviceState { present, missing, not_a_terminal };

// Everything the report shows, gathered once.
struct Report {
  std::string settings_file, device;
  DeviceState state = DeviceState::missing;
  std::string lock_file;
  int holder = -1;  // PID, 0 free, -1 no lock file
  std::string holder_name;
  std::string counters_file, counters_error;
  bool counters_ok = false;
  counters::Values values{};
  std::string journal_file;
  long journal_unresolved = -1;  // -1: no journal on this till
  std::string log_file;
  long long log_bytes = -1, old_log_bytes = -1;  // -1: none
};

long long file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : -1;
}

// The device the library would open, from sat.ini as the library reads it.
std::string configured_device(const std::string& file) {
  DevicePath serial{};
  std::memcpy(serial.text, kBuiltInSerial, sizeof kBuiltInSerial);
  if (readable_file(file.c_str())) {
    char value[520];
    ini_gets("DEFAULT", "SERIAL", kBuiltInSerial, value, sizeof value, file.c_str());
    device_path_for(value, serial);
  }
  return serial.text;
}

// Sales and cancellations of the fiscal journal whose outcome is not known
// yet (in flight or unresolved, as sat_journal lists them first); -1 when
// this till keeps no journal.
long journal_unresolved(std::string& file) {
  file = journal_path_in(settings_dir());
  const JournalContents journal = read_journal(file);
  if (!journal.found) return -1;
  long open = 0;
  for (const JournalEntry& e : journal.entries) open += e.has_intent && e.known_result().empty();
  return open;
}

Report gather() {
  Report r;
  r.settings_file = settings_file_path();
  r.device = configured_device(r.settings_file);
  struct stat device;
  if (::stat(r.device.c_str(), &device) == 0) {
    r.state = S_ISCHR(device.st_mode) ? DeviceState::present : DeviceState::not_a_terminal;
    if (r.state == DeviceState::present) r.holder = lock_holder(device, r.lock_file);
    if (r.holder > 0) {
      std::ifstream comm("/proc/" + std::to_string(r.holder) + "/comm");
      std::getline(comm, r.holder_name);
    }
  }
  r.counters_file = counters::counters_file_path();
  r.counters_ok = counters::read_counters(r.counters_file, r.values, r.counters_error);
  r.journal_unresolved = journal_unresolved(r.journal_file);
  r.log_file = driver_log_path();
  r.log_bytes = file_size(r.log_file);
  r.old_log_bytes = file_size(r.log_file + ".1");
  return r;
}

std::uint64_t sum_of(const std::uint64_t (&row)[counters::kOutcomes], int from, int to) {
  std::uint64_t total = 0;
  for (int o = from; o < to; ++o) total += row[o];
  return total;
}

std::string local_time(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local;
  char text[32] = "";
  if (::localtime_r(&t, &local)) std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
  return text;
}

const char* state_text(DeviceState s) {
  return s == DeviceState::present ? "presente" : s == DeviceState::missing ? "ausente" : "nao e um terminal";
}

void print_text(const Report& r, std::ostream& out) {
  out << "Arquivo de configuracao: " << r.settings_file << "\n";
  out << "Dispositivo: " << r.device << " (" << state_text(r.state) << ")\n";
  if (r.state == DeviceState::present) {
    out << "Trava do dispositivo: ";
    if (r.holder < 0)
      out << "livre (nenhum arquivo de trava ainda)\n";
    else if (r.holder == 0)
      out << "livre (" << r.lock_file << ")\n";
    else
      out << "em uso pelo processo " << r.holder << " (" << r.holder_name << ") (" << r.lock_file << ")\n";
  }
  out << "Contadores: " << r.counters_file;
  if (!r.counters_ok) {
    out << " (indisponivel: " << r.counters_error << ")\n";
  } else {
    const counters::Values& v = r.values;
    char line[160];
    out << "\n";
    std::snprintf(line, sizeof line, "  %-30s %9s %9s %9s %9s %12s %10s\n", "Funcao", "chamadas", "sucesso",
                  "erro", "ocupado", "contingencia", "tentativas");
    out << line;
    for (int f = 0; f < kFunctions; ++f) {
      const auto& row = v.calls[f];
      const std::uint64_t all = sum_of(row, 0, counters::kOutcomes);
      if (all == 0) continue;
      std::snprintf(
          line, sizeof line, "  %-30s %9llu %9llu %9llu %9llu %12llu %10llu\n", kFunctionNames[f],
          static_cast<unsigned long long>(all), static_cast<unsigned long long>(row[0]),
          static_cast<unsigned long long>(row[1]), static_cast<unsigned long long>(row[2]),
          static_cast<unsigned long long>(sum_of(row, counters::kFirstFallback, counters::kOutcomes)),
          static_cast<unsigned long long>(v.attempts[f]));
      out << line;
      for (int o = counters::kFirstFallback; o < counters::kOutcomes; ++o)
        if (row[o]) out << "      contingencia, " << kOutcomeNames[o].text << ": " << row[o] << "\n";
    }
    std::uint64_t busy_retries = 0;
    for (std::uint64_t n : v.busy_retries) busy_retries += n;
    out << "  Retransmissoes apos SAT ocupado: " << busy_retries << "\n";
    out << "  Consultas de sessao da recuperacao:";
    for (int i = 0; i < counters::kFindings; ++i)
      out << (i ? ", " : " ") << counters::kFindingNames[i].text << " " << v.recovery_queries[i];
    out << "\n";
    std::snprintf(line, sizeof line, "  Esperas pela trava: %llu, total %.3f s, a maior %.3f s\n",
                  static_cast<unsigned long long>(v.lock_waits), v.lock_wait_us_total / 1e6,
                  v.lock_wait_us_longest / 1e6);
    out << line;
    out << "  Bytes enviados: " << v.bytes_sent << ", recebidos: " << v.bytes_received << "\n";
    const counters::LongestCall longest = counters::longest_call_of(v);
    if (longest.function >= 0) {
      std::snprintf(line, sizeof line, "  Chamada mais longa: %s, %.3f s de %.3f s permitidos\n",
                    kFunctionNames[longest.function], longest.ms / 1e3, longest.bound_ms / 1e3);
      out << line;
    }
    const counters::LastFallback last = counters::last_fallback_of(v);
    out << "Ultima contingencia: ";
    if (last.any)
      out << kFunctionNames[last.function] << ", " << kOutcomeNames[static_cast<int>(last.outcome)].text
          << ", " << local_time(last.time) << "\n";
    else
      out << "nenhuma\n";
  }
  if (r.journal_unresolved < 0)
    out << "Diario fiscal: nenhum\n";
  else
    out << "Diario fiscal: " << r.journal_file << ", pendentes: " << r.journal_unresolved << "\n";
  out << "Log: " << r.log_file;
  if (r.log_bytes < 0)
    out << " (nenhum)";
  else
    out << ", " << r.log_bytes << " bytes";
  if (r.old_log_bytes >= 0) out << " (mais " << r.old_log_bytes << " bytes em .1)";
  out << "\n";
}

std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// {"name": value, ...} of one row of counts.
template <class Name>
void json_row(std::ostream& out, const std::uint64_t* values, int from, int to, Name name) {
  out << "{";
  for (int i = from; i < to; ++i) out << (i > from ? ", " : "") << json_text(name(i)) << ": " << values[i];
  out << "}";
}

void print_json(const Report& r, std::ostream& out) {
  out << "{\n  \"settings_file\": " << json_text(r.settings_file) << ",\n";
  out << "  \"device\": {\"path\": " << json_text(r.device)
      << ", \"present\": " << (r.state == DeviceState::present ? "true" : "false") << ", \"state\": "
      << json_text(r.state == DeviceState::present   ? "present"
                   : r.state == DeviceState::missing ? "missing"
                                                     : "not_a_terminal")
      << ", \"lock_file\": " << (r.lock_file.empty() ? "null" : json_text(r.lock_file))
      << ", \"lock_holder_pid\": " << (r.holder > 0 ? std::to_string(r.holder) : "null")
      << ", \"lock_holder_name\": " << (r.holder > 0 ? json_text(r.holder_name) : "null") << "},\n";
  out << "  \"counters\": ";
  if (!r.counters_ok) {
    out << "{\"file\": " << json_text(r.counters_file) << ", \"error\": " << json_text(r.counters_error)
        << "},\n";
    out << "  \"last_fallback\": null,\n";
  } else {
    const counters::Values& v = r.values;
    out << "{\"file\": " << json_text(r.counters_file) << ",\n    \"calls\": {";
    for (int f = 0; f < kFunctions; ++f) {
      out << (f ? ",\n      " : "\n      ") << json_text(kFunctionNames[f]) << ": ";
      json_row(out, v.calls[f], 0, counters::kOutcomes, [](int o) { return kOutcomeNames[o].label; });
    }
    out << "},\n    \"attempts\": ";
    json_row(out, v.attempts, 0, kFunctions, [](int f) { return kFunctionNames[f]; });
    out << ",\n    \"busy_retries\": ";
    json_row(out, v.busy_retries, 0, kFunctions, [](int f) { return kFunctionNames[f]; });
    out << ",\n    \"recovery_queries\": ";
    json_row(out, v.recovery_queries, 0, counters::kFindings,
             [](int i) { return counters::kFindingNames[i].label; });
    const counters::LongestCall longest = counters::longest_call_of(v);
    out << ",\n    \"lock_waits\": " << v.lock_waits << ", \"lock_wait_us_total\": " << v.lock_wait_us_total
        << ", \"lock_wait_us_longest\": " << v.lock_wait_us_longest
        << ",\n    \"bytes_sent\": " << v.bytes_sent << ", \"bytes_received\": " << v.bytes_received
        << ",\n    \"longest_call\": ";
    if (longest.function >= 0)
      out << "{\"function\": " << json_text(kFunctionNames[longest.function]) << ", \"ms\": " << longest.ms
          << ", \"allowed_ms\": " << longest.bound_ms << "}";
    else
      out << "null";
    out << "},\n  \"last_fallback\": ";
    const counters::LastFallback last = counters::last_fallback_of(v);
    if (last.any)
      out << "{\"function\": " << json_text(kFunctionNames[last.function])
          << ", \"reason\": " << json_text(kOutcomeNames[static_cast<int>(last.outcome)].label)
          << ", \"time\": " << last.time << "},\n";
    else
      out << "null,\n";
  }
  out << "  \"journal\": ";
  if (r.journal_unresolved < 0)
    out << "null,\n";
  else
    out << "{\"file\": " << json_text(r.journal_file) << ", \"unresolved\": " << r.journal_unresolved
        << "},\n";
  out << "  \"log\": {\"file\": " << json_text(r.log_file)
      << ", \"bytes\": " << (r.log_bytes < 0 ? "null" : std::to_string(r.log_bytes))
      << ", \"previous_bytes\": " << (r.old_log_bytes < 0 ? "null" : std::to_string(r.old_log_bytes))
      << "}\n}\n";
}

// One metric family: its # HELP and # TYPE lines.
void family(std::ostream& out, const char* name, const char* type, const char* help) {
  out << "# HELP zunra_sat_" << name << " " << help << "\n# TYPE zunra_sat_" << name << " " << type << "\n";
}

void print_prometheus(const Report& r, std::ostream& out) {
  out.precision(15);
  family(out, "device_present", "gauge", "1 when the device named in sat.ini is there and is a terminal.");
  out << "zunra_sat_device_present " << (r.state == DeviceState::present ? 1 : 0) << "\n";
  family(out, "device_lock_held", "gauge", "1 while a process holds the unit's device lock.");
  out << "zunra_sat_device_lock_held " << (r.holder > 0 ? 1 : 0) << "\n";
  family(out, "log_bytes", "gauge", "Size of the driver log, its previous generation included.");
  out << "zunra_sat_log_bytes "
      << (r.log_bytes < 0 ? 0 : r.log_bytes) + (r.old_log_bytes < 0 ? 0 : r.old_log_bytes) << "\n";
  if (r.journal_unresolved >= 0) {
    family(out, "journal_unresolved", "gauge",
           "Sales and cancellations of the journal whose outcome is unknown.");
    out << "zunra_sat_journal_unresolved " << r.journal_unresolved << "\n";
  }
  family(out, "counters_readable", "gauge", "1 when the counters file could be read.");
  out << "zunra_sat_counters_readable " << (r.counters_ok ? 1 : 0) << "\n";
  if (!r.counters_ok) return;

  const counters::Values& v = r.values;
  family(out, "calls_total", "counter",
         "SAT calls answered by the unit, by function and class of return code.");
  for (int f = 0; f < kFunctions; ++f)
    for (int o = 0; o < counters::kFirstFallback; ++o)
      out << "zunra_sat_calls_total{function=\"" << kFunctionNames[f] << "\",outcome=\""
          << kOutcomeNames[o].label << "\"} " << v.calls[f][o] << "\n";
  family(out, "fallbacks_total", "counter",
         "SAT calls answered with the driver's fallback reply, by reason.");
  for (int f = 0; f < kFunctions; ++f)
    for (int o = counters::kFirstFallback; o < counters::kOutcomes; ++o)
      out << "zunra_sat_fallbacks_total{function=\"" << kFunctionNames[f] << "\",reason=\""
          << kOutcomeNames[o].label << "\"} " << v.calls[f][o] << "\n";
  family(out, "attempts_total", "counter", "Transmissions attempted, by function.");
  for (int f = 0; f < kFunctions; ++f)
    out << "zunra_sat_attempts_total{function=\"" << kFunctionNames[f] << "\"} " << v.attempts[f] << "\n";
  family(out, "busy_retries_total", "counter", "Attempts made again after the unit answered busy.");
  for (int f = 0; f < kFunctions; ++f)
    out << "zunra_sat_busy_retries_total{function=\"" << kFunctionNames[f] << "\"} " << v.busy_retries[f]
        << "\n";
  family(out, "recovery_queries_total", "counter",
         "Session queries of recovery after a failed exchange, by finding.");
  for (int i = 0; i < counters::kFindings; ++i)
    out << "zunra_sat_recovery_queries_total{found=\"" << counters::kFindingNames[i].label << "\"} "
        << v.recovery_queries[i] << "\n";
  family(out, "lock_waits_total", "counter",
         "Calls that found the unit's device lock held by another process.");
  out << "zunra_sat_lock_waits_total " << v.lock_waits << "\n";
  family(out, "lock_wait_seconds_total", "counter", "Time spent waiting for the unit's device lock.");
  out << "zunra_sat_lock_wait_seconds_total " << v.lock_wait_us_total / 1e6 << "\n";
  family(out, "lock_wait_longest_seconds", "gauge", "Longest wait for the unit's device lock.");
  out << "zunra_sat_lock_wait_longest_seconds " << v.lock_wait_us_longest / 1e6 << "\n";
  family(out, "sent_bytes_total", "counter", "Bytes written to the unit.");
  out << "zunra_sat_sent_bytes_total " << v.bytes_sent << "\n";
  family(out, "received_bytes_total", "counter", "Bytes read from the unit.");
  out << "zunra_sat_received_bytes_total " << v.bytes_received << "\n";
  const counters::LongestCall longest = counters::longest_call_of(v);
  if (longest.function >= 0) {
    family(out, "longest_call_seconds", "gauge", "The longest SAT call.");
    out << "zunra_sat_longest_call_seconds{function=\"" << kFunctionNames[longest.function] << "\"} "
        << longest.ms / 1e3 << "\n";
    family(out, "longest_call_allowed_seconds", "gauge",
           "What the deadlines and pauses of the longest call allowed.");
    out << "zunra_sat_longest_call_allowed_seconds{function=\"" << kFunctionNames[longest.function] << "\"} "
        << longest.bound_ms / 1e3 << "\n";
  }
  const counters::LastFallback last = counters::last_fallback_of(v);
  if (last.any) {
    family(out, "last_fallback_timestamp_seconds", "gauge", "Time of the last fallback reply.");
    out << "zunra_sat_last_fallback_timestamp_seconds{function=\"" << kFunctionNames[last.function]
        << "\",reason=\"" << kOutcomeNames[static_cast<int>(last.outcome)].label << "\"} " << last.time
        << "\n";
  }
}

// --check: every line of sat.ini the driver passes over and why, then the
// values in force, read as the library reads them (with DEBUG=true that
// reading is logged, as in any program). 1 when anything was passed over.
int check_settings(std::ostream& out) {
  const std::string file = settings_file_path();
  std::vector<IgnoredSetting> ignored;
  if (!readable_file(file.c_str())) {
    out << file << ": ausente ou ilegivel, valem os valores de fabrica\n";
  } else {
    ignored = ignored_settings(file.c_str());
    out << file << ": " << ignored.size() << (ignored.size() == 1 ? " linha ignorada" : " linhas ignoradas")
        << "\n";
    for (const IgnoredSetting& i : ignored)
      out << "  " << (i.section.empty() ? "(antes de [DEFAULT])" : "[" + i.section + "]") << " " << i.key
          << "=" << i.value << ": " << i.why << "\n";
  }
  reload_settings();
  out << "Valores em vigor:\n  SERIAL=" << SAT_SERIAL << "\n";
  for (const SwitchSetting& s : kSwitches)
    out << "  " << s.key << "=" << s.text << (s.number ? (*s.number ? " (ligado)" : " (desligado)") : "")
        << "\n";
  out << "  N_TENT=" << NumTent << "\n  TMP_TENT=" << TmpTent << "\n  LOG_MAX_KB=" << log_max_kb << "\n  "
      << kJournalKey << "=" << (journal_on ? "true" : "false") << "\n  " << kSyslogKey << "="
      << (syslog_lines ? "true" : "false") << "\n";
  for (const TimeoutSetting& t : kTimeouts) {
    char pair[16];
    std::snprintf(pair, sizeof pair, "%02d:%02d", t.pair[0], t.pair[1]);
    out << "  " << t.key << "=" << pair << "\n";
  }
  return ignored.empty() ? 0 : 1;
}

}  // namespace
}  // namespace zunra::status

int main(int argc, char** argv) {
  using namespace zunra::status;
  enum { text, json, prometheus, prometheus_dir } mode = text;
  const char* dir = nullptr;
  if (argc == 2 && std::strcmp(argv[1], "--json") == 0) {
    mode = json;
  } else if (argc == 2 && std::strcmp(argv[1], "--prometheus") == 0) {
    mode = prometheus;
  } else if (argc == 3 && std::strcmp(argv[1], "--prometheus-dir") == 0) {
    mode = prometheus_dir;
    dir = argv[2];
  } else if (argc == 2 && std::strcmp(argv[1], "--check") == 0) {
    std::ostringstream out;
    const int status = check_settings(out);
    std::fputs(out.str().c_str(), stdout);
    return status;
  } else if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  } else if (argc != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const Report report = gather();
  std::ostringstream out;
  if (mode == text) print_text(report, out);
  if (mode == json) print_json(report, out);
  if (mode == prometheus || mode == prometheus_dir) print_prometheus(report, out);
  if (mode != prometheus_dir) {
    std::fputs(out.str().c_str(), stdout);
    return 0;
  }
  const std::string path = std::string(dir) + "/zunra_sat.prom";
  // The textfile collector may read the directory at any moment: the file
  // appears whole under its name, from a temporary name it ignores.
  const std::string prom = out.str();
  if (!zunra::write_file_atomically(path.c_str(), prom.data(), prom.size(), 0644)) {
    std::fprintf(stderr, "sat_status: nao foi possivel gravar %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}
