// sat_sim: a simulated SAT unit on a pseudo-terminal, or on an existing
// terminal given with --device (the device side of a USB gadget). Prints the
// device path as its first line and serves until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "sim_unit.h"
#include "unit_state.h"

namespace {

// The options, as --help lists them. CODE is a command's number or the name
// of its SAT function; 0 means every command.
struct OptionHelp {
  const char* name;
  const char* value;  // null for a switch
  const char* text;
};
const OptionHelp kOptions[] = {
    {"--unactivated", nullptr, "unidade ainda nao ativada"},
    {"--activation-code", "X", "codigo de ativacao (padrao 12345678)"},
    {"--log-bytes", "N", "tamanho do log decodificado de ExtrairLogs"},
    {"--rate", "BPS", "limita a taxa de bytes das respostas"},
    {"--short-cancel", nullptr, "respostas de cancelamento sem o campo CPFCNPJValue"},
    {"--delay", "CODE:MS", "atrasa as respostas do comando CODE (0: todos)"},
    {"--silent", "CODE", "nao responde ao comando CODE"},
    {"--busy", "CODE:N", "responde ocupado (x6098) as N primeiras vezes"},
    {"--drop", "CODE:N", "executa e descarta a resposta as N primeiras vezes"},
    {"--chunk", "BYTES:MS", "envia as respostas em pedacos com pausas"},
    {"--wrong-session", "CODE", "antes de cada resposta a CODE, envia uma de outra sessao"},
    {"--hang-up", "CODE:BYTES", "desliga a linha apos BYTES bytes da resposta a CODE"},
    {"--link", "PATH", "cria um link simbolico PATH para o dispositivo"},
    {"--device", "PATH", "atende no terminal PATH ja existente (ex.: /dev/ttyGS0)"},
    {"--help", nullptr, "mostra esta ajuda"},
};

void print_usage(FILE* out) {
  std::fputs("uso: sat_sim [opcoes]\n", out);
  for (const OptionHelp& o : kOptions) {
    const std::string head = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
    std::fprintf(out, "  %-22s  %s\n", head.c_str(), o.text);
  }
  std::fputs("CODE: o numero do comando ou o nome da funcao (0: todos os comandos)\n", out);
  for (int code = 1; code <= 20; ++code) {
    if (const char* name = zunra::sim::command_name(code)) std::fprintf(out, "  %02d  %s\n", code, name);
  }
}

const OptionHelp* find_option(const std::string& name) {
  for (const OptionHelp& o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

bool number(const std::string& text, long& out) {
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && out >= 0;
}

// A command's number (0 for every command) or its SAT function's name.
bool command(const std::string& text, long& out) {
  if (number(text, out)) return out == 0 || zunra::sim::command_name(static_cast<int>(out)) != nullptr;
  out = zunra::sim::command_code(text);
  return out > 0;
}

// "A:B": A read by `first`, B a non-negative number.
bool pair_of(const char* text, long& a, long& b, bool (*first)(const std::string&, long&) = number) {
  const char* colon = std::strchr(text, ':');
  if (!colon) return false;
  return first(std::string(text, colon), a) && number(colon + 1, b);
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "sat_sim: %s\n", message.c_str());
  print_usage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using zunra::sim::Act;
  using zunra::sim::Script;
  zunra::sim::SimUnit::Options options;
  options.keep_history = false;   // nothing here asks for it, and it would grow for days
  std::map<long, Script> always;  // by command code, 0 for every command
  struct Counted {
    long code;
    Act act;
    long times;
  };
  std::vector<Counted> counted;
  std::string link;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const OptionHelp* option = find_option(arg);
    if (!option) return usage_error("opcao invalida: " + arg);
    if (option->value && i + 1 >= argc) return usage_error("falta o valor de " + arg);
    const char* value = option->value ? argv[++i] : nullptr;
    long a = 0, b = 0;
    bool valid = true;
    if (arg == "--help") {
      print_usage(stdout);
      return 0;
    } else if (arg == "--unactivated") {
      options.activated = false;
    } else if (arg == "--short-cancel") {
      options.short_cancel_reply = true;
    } else if (arg == "--activation-code") {
      options.activation_code = value;
    } else if (arg == "--device") {
      options.device = value;
    } else if (arg == "--link") {
      link = value;
    } else if (arg == "--log-bytes") {
      if ((valid = number(value, a))) options.log_bytes = static_cast<std::size_t>(a);
    } else if (arg == "--rate") {
      if ((valid = number(value, a))) options.bytes_per_second = static_cast<std::size_t>(a);
    } else if (arg == "--delay") {
      if ((valid = pair_of(value, a, b, command))) always[a].delay = std::chrono::milliseconds(b);
    } else if (arg == "--silent") {
      if ((valid = command(value, a))) always[a].act = Act::Silent;
    } else if (arg == "--chunk") {
      if ((valid = pair_of(value, a, b) && a > 0)) {
        always[0].chunk = static_cast<std::size_t>(a);
        always[0].chunk_pause = std::chrono::milliseconds(b);
      }
    } else if (arg == "--wrong-session") {
      if ((valid = command(value, a))) always[a].wrong_session_first = true;
    } else if (arg == "--hang-up") {
      if ((valid = pair_of(value, a, b, command))) always[a].hang_up_after = static_cast<std::size_t>(b);
    } else if (arg == "--busy") {
      if ((valid = pair_of(value, a, b, command))) counted.push_back({a, Act::Busy, b});
    } else if (arg == "--drop") {
      if ((valid = pair_of(value, a, b, command))) counted.push_back({a, Act::ProcessThenDrop, b});
    }
    if (!valid) return usage_error("valor invalido para " + arg + ": " + value);
  }

  // The unit thread must not take the signals: block them before it starts
  // and collect them here.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::unique_ptr<zunra::sim::SimUnit> started;
  try {
    started = std::make_unique<zunra::sim::SimUnit>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sat_sim: %s\n", e.what());
    return 1;
  }
  zunra::sim::SimUnit& unit = *started;
  // Chunking set for every command also shapes the per-command scripts.
  for (auto& [code, script] : always) {
    if (code != 0 && always.count(0)) {
      script.chunk = always[0].chunk;
      script.chunk_pause = always[0].chunk_pause;
    }
    unit.on_command(static_cast<int>(code), script);
  }
  // Counted faults come last so they win while they last.
  for (const auto& c : counted) {
    Script s;
    s.act = c.act;
    unit.on_command(static_cast<int>(c.code), s, static_cast<int>(c.times));
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(unit.path().c_str(), link.c_str()) != 0) {
      std::fprintf(stderr, "sat_sim: nao foi possivel criar o link %s: %s\n", link.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  std::printf("%s\n", unit.path().c_str());
  std::fflush(stdout);

  int sig = 0;
  while (sigwait(&stop, &sig) != 0) {
  }
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}
