#include "driver_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "settings.h"

namespace zunra {

std::string driver_log_path() {
  return settings_dir() + "/lib_zunra_dorvex.log";
}

void console(const char* format, ...) {
  if (!console_enabled()) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void debug_log(const char* message, const char* detail) {
  if (setting(ModoDebug)) append_log_line(message, detail);
}

int append_log_line(const char* message, const char* detail) noexcept {
  try {
    const std::string path = driver_log_path();
    std::FILE* log = std::fopen(path.c_str(), "a");
    if (!log) log = std::fopen(path.c_str(), "w");
    if (!log) {
      console("EnviaLog: Erro ao abrir o arquivo de logs!\n");
      return -1;
    }
    std::fprintf(log, "%s%s%s%s\n", log_timestamp(), ": ", message ? message : "", detail ? detail : "");
    std::fclose(log);
    return 0;
  } catch (...) {
    return -1;
  }
}

const char* log_timestamp() {
  static char text[26];
  const std::time_t now = std::time(nullptr);
  std::tm local;
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local) == 0)
    text[0] = '\0';
  return text;
}

}  // namespace zunra
