// sat_sim: a simulated SAT unit on a pseudo-terminal. Prints the device path
// as its first line and serves until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "sim_unit.h"

namespace {

const char kUsage[] =
    "uso: sat_sim [opcoes]\n"
    "  --unactivated           unidade ainda nao ativada\n"
    "  --activation-code X     codigo de ativacao (padrao 12345678)\n"
    "  --log-bytes N           tamanho do log decodificado de ExtrairLogs\n"
    "  --rate BPS              limita a taxa de bytes das respostas\n"
    "  --short-cancel          respostas de cancelamento sem o campo CPFCNPJValue\n"
    "  --delay CODE:MS         atrasa as respostas do comando CODE (0: todos)\n"
    "  --silent CODE           nao responde ao comando CODE\n"
    "  --busy CODE:N           responde ocupado (x6098) as N primeiras vezes\n"
    "  --drop CODE:N           executa e descarta a resposta as N primeiras vezes\n"
    "  --chunk BYTES:MS        envia as respostas em pedacos com pausas\n"
    "  --wrong-session CODE    antes de cada resposta a CODE, envia uma de outra sessao\n"
    "  --hang-up CODE:BYTES    desliga a linha apos BYTES bytes da resposta a CODE\n"
    "  --link PATH             cria um link simbolico PATH para o dispositivo\n"
    "  --help                  mostra esta ajuda\n";

bool number(const char* text, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && out >= 0;
}

// "A:B" with two non-negative numbers.
bool pair_of(const char* text, long& a, long& b) {
  const char* colon = std::strchr(text, ':');
  if (!colon) return false;
  return number(std::string(text, colon).c_str(), a) && number(colon + 1, b);
}

int usage_error(const char* what) {
  std::fprintf(stderr, "sat_sim: opcao invalida: %s\n%s", what, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using zunra::sim::Act;
  using zunra::sim::Script;
  zunra::sim::SimUnit::Options options;
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
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long a = 0, b = 0;
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--unactivated") {
      options.activated = false;
    } else if (arg == "--short-cancel") {
      options.short_cancel_reply = true;
    } else if (!value) {
      return usage_error(arg.c_str());
    } else if (arg == "--activation-code") {
      options.activation_code = value, ++i;
    } else if (arg == "--link") {
      link = value, ++i;
    } else if (arg == "--log-bytes" && number(value, a)) {
      options.log_bytes = static_cast<std::size_t>(a), ++i;
    } else if (arg == "--rate" && number(value, a)) {
      options.bytes_per_second = static_cast<std::size_t>(a), ++i;
    } else if (arg == "--delay" && pair_of(value, a, b)) {
      always[a].delay = std::chrono::milliseconds(b), ++i;
    } else if (arg == "--silent" && number(value, a)) {
      always[a].act = Act::Silent, ++i;
    } else if (arg == "--chunk" && pair_of(value, a, b) && a > 0) {
      always[0].chunk = static_cast<std::size_t>(a);
      always[0].chunk_pause = std::chrono::milliseconds(b), ++i;
    } else if (arg == "--wrong-session" && number(value, a)) {
      always[a].wrong_session_first = true, ++i;
    } else if (arg == "--hang-up" && pair_of(value, a, b)) {
      always[a].hang_up_after = static_cast<std::size_t>(b), ++i;
    } else if (arg == "--busy" && pair_of(value, a, b)) {
      counted.push_back({a, Act::Busy, b}), ++i;
    } else if (arg == "--drop" && pair_of(value, a, b)) {
      counted.push_back({a, Act::ProcessThenDrop, b}), ++i;
    } else {
      return usage_error(arg.c_str());
    }
  }

  // The unit thread must not take the signals: block them before it starts
  // and collect them here.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  zunra::sim::SimUnit unit(options);
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
