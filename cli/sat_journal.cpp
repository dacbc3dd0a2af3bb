// sat_journal: lists the fiscal journal the driver keeps in its settings
// directory, unresolved sales and cancellations first, and with --resolve
// asks the unit (ConsultarNumeroSessao, through the library and its device
// lock) what became of each, appending the answer. A point-of-sale program
// runs it at start-up; a technician runs it after a crash.
//
//   sat_journal [--json] [--resolve CODIGO_DE_ATIVACAO] [--library PATH]
//
// The library is loaded at run time (the installed one, or PATH), so that
// the package's programs need nothing but libc.
// Exit status: 0 nothing unresolved, 1 something still unresolved (or in
// flight), 2 a usage error, a journal missing or unreadable, or an
// activation code the unit refuses.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "journal_file.h"
#include "journal_reading.h"

namespace {

using zunra::JournalEntry;

using QueryFn = const char* (*)(int numeroSessao, const char* codigoDeAtivacao, int cNumeroDeSessao);

enum class Status { unresolved, in_flight, issued, refused, not_carried_out };

constexpr const char* kStatusJson[] = {"unresolved", "in_flight", "issued", "refused", "not_carried_out"};
constexpr const char* kStatusText[] = {"PENDENTE", "EM CURSO", "EMITIDO", "RECUSADO", "NAO EFETUADO"};

std::string settings_dir() {
  const char* dir = std::getenv("ZUNRA_SAT_DIR");
  return (dir && *dir) ? dir : "/var/zunra_dorvex";
}

// The process that wrote the intent is still running: same boot, same PID,
// same start time.
bool writer_alive(const JournalEntry& e, const std::string& boot) {
  const long long pid = e.intent.number("pid");
  if (pid <= 0 || e.intent.get("boot") != boot || boot.empty()) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  const long long start = e.intent.number("start");
  return start < 0 || zunra::process_start_ticks(static_cast<int>(pid)) == start;
}

Status status_of(const JournalEntry& e, const std::string& boot) {
  const std::string result = e.known_result();
  if (result == zunra::kIssued) return Status::issued;
  if (result == zunra::kRefused) return Status::refused;
  if (result == zunra::kNotCarriedOut) return Status::not_carried_out;
  if (!e.has_outcome && writer_alive(e, boot)) return Status::in_flight;
  return Status::unresolved;
}

// Field `n` of a reply (the text after its n-th '|').
std::string field(const std::string& reply, int n) {
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) {
    at = reply.find('|', at);
    if (at == std::string::npos) return {};
    ++at;
  }
  return reply.substr(at, reply.find('|', at) - at);
}

// What the unit's answer to ConsultarNumeroSessao says about an entry.
struct Answer {
  enum Kind { settled, ask_again, code_refused, other_command } kind;
  std::string result, code, key;
};

// The unit answers the question itself under the asking session ("11003",
// session does not exist), or with the reply it kept for the session asked
// about, under that session. A reply under any other session is a late one
// of an earlier exchange, and is asked again.
Answer read_answer(const JournalEntry& e, int asking, const std::string& reply) {
  const bool sale = e.intent.get("fn") == "EnviarDadosVenda";
  const std::string code = field(reply, 1).substr(0, 5);
  char own[16], marker[32];
  std::snprintf(own, sizeof own, "%06d|", asking);
  std::snprintf(marker, sizeof marker, "%06lld|%s", e.intent.number("sessao"), sale ? "06" : "07");
  if (reply.compare(0, std::strlen(own), own) == 0) {
    if (code == "11003") return {Answer::settled, zunra::kNotCarriedOut, code, ""};
    if (code == "11001" || code == "11002") return {Answer::code_refused, "", code, ""};
    return {Answer::ask_again, "", code, ""};
  }
  char stored[16];
  std::snprintf(stored, sizeof stored, "%06lld|", e.intent.number("sessao"));
  if (reply.compare(0, std::strlen(stored), stored) != 0) return {Answer::ask_again, "", code, ""};
  if (reply.compare(0, std::strlen(marker), marker) != 0) return {Answer::other_command, "", code, ""};
  if (code == (sale ? "06000" : "07000")) return {Answer::settled, zunra::kIssued, code, field(reply, 8)};
  if (code == (sale ? "06098" : "07098")) return {Answer::ask_again, "", code, ""};
  return {Answer::settled, zunra::kRefused, code, ""};
}

// Asks until the unit settles the entry, refuses the code, or has been
// asked three times.
Answer ask_unit(const JournalEntry& e, const char* code, QueryFn ConsultarNumeroSessao, std::mt19937& rng,
                std::string& reply) {
  const int session = static_cast<int>(e.intent.number("sessao"));
  Answer answer{Answer::ask_again, "", "", ""};
  for (int asked = 0; asked < 3 && answer.kind == Answer::ask_again; ++asked) {
    int asking = static_cast<int>(rng() % 1000000);
    if (asking == session) asking = (asking + 1) % 1000000;
    reply = ConsultarNumeroSessao(asking, code, session);
    answer = read_answer(e, asking, reply);
  }
  return answer;
}

// The key is already another entry's: the unit's answer is that earlier
// call's, kept under the same session number, so this call never reached it.
bool key_of_another(const std::vector<JournalEntry>& entries, const JournalEntry& e, const std::string& key) {
  for (const JournalEntry& other : entries)
    if (&other != &e && other.known_result() == zunra::kIssued && other.deciding().get("key") == key)
      return true;
  return false;
}

struct Listing {
  std::vector<JournalEntry> entries;
  std::vector<Status> status;
};

// Asks the unit about every unresolved entry. False when the unit refuses
// the activation code (said on standard error).
bool resolve(Listing& listing, const std::string& path, const char* code, QueryFn ConsultarNumeroSessao) {
  std::mt19937 rng(std::random_device{}());
  for (std::size_t i = 0; i < listing.entries.size(); ++i) {
    JournalEntry& e = listing.entries[i];
    if (listing.status[i] != Status::unresolved || !e.has_intent) continue;
    const int session = static_cast<int>(e.intent.number("sessao"));
    std::string reply;
    Answer answer = ask_unit(e, code, ConsultarNumeroSessao, rng, reply);
    if (answer.kind == Answer::code_refused) {
      std::fprintf(stderr, "sat_journal: a unidade recusou o codigo de ativacao: %s\n", reply.c_str());
      return false;
    }
    if (answer.kind == Answer::other_command)
      std::fprintf(stderr, "sat_journal: a sessao %06d guarda a resposta de outro comando: %.40s\n", session,
                   reply.c_str());
    if (answer.kind != Answer::settled) continue;
    if (answer.result == zunra::kIssued && key_of_another(listing.entries, e, answer.key)) {
      answer.result = zunra::kNotCarriedOut;
      answer.key.clear();
    }
    zunra::JournalRecord record("settled");
    record.text("id", e.id)
        .text("t", zunra::journal_time_now())
        .number("pid", ::getpid())
        .text("fn", e.intent.get("fn"))
        .number("sessao", session)
        .text("result", answer.result)
        .text("code", answer.code);
    if (!answer.key.empty()) record.text("key", answer.key);
    int error = 0;
    if (zunra::append_journal(path, record.line(), true, error) != 0) {
      std::fprintf(stderr, "sat_journal: nao foi possivel gravar %s: %s\n", path.c_str(),
                   error == -1 ? "nao e um arquivo comum" : std::strerror(error));
      continue;
    }
    e.has_settled = true;
    zunra::parse_record(record.line(), e.settled);
    listing.status[i] = answer.result == zunra::kIssued    ? Status::issued
                        : answer.result == zunra::kRefused ? Status::refused
                                                           : Status::not_carried_out;
  }
  return true;
}

std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

bool unresolved(Status s) {
  return s == Status::unresolved || s == Status::in_flight;
}

// Unresolved ones first, each group in the journal's order.
std::vector<std::size_t> listing_order(const Listing& listing) {
  std::vector<std::size_t> order;
  for (int pass = 0; pass < 2; ++pass)
    for (std::size_t i = 0; i < listing.entries.size(); ++i)
      if (listing.entries[i].has_intent && unresolved(listing.status[i]) == (pass == 0)) order.push_back(i);
  return order;
}

void print_text(const Listing& listing, std::size_t pending) {
  for (const std::size_t i : listing_order(listing)) {
    const JournalEntry& e = listing.entries[i];
    const Status s = listing.status[i];
    std::printf("%-12s %s  %-19s  sessao %06lld", kStatusText[static_cast<int>(s)], e.intent.get("t").c_str(),
                e.intent.get("fn").c_str(), e.intent.number("sessao"));
    if (s == Status::unresolved)
      std::printf("  %s", e.has_outcome ? "desfecho desconhecido" : "sem desfecho, processo encerrado");
    if (s == Status::in_flight) std::printf("  pid %lld", e.intent.number("pid"));
    const zunra::RecordFields& d = e.deciding();
    if (!d.get("code").empty() && !unresolved(s)) std::printf("  codigo %s", d.get("code").c_str());
    if (!d.get("key").empty()) std::printf("  chave %s", d.get("key").c_str());
    if (!e.intent.get("chCanc").empty()) std::printf("  chCanc %s", e.intent.get("chCanc").c_str());
    if (e.has_settled)
      std::printf("  (consultado)");
    else if (e.outcome.get("recovered") == "true")
      std::printf("  (recuperado)");
    std::printf("\n");
  }
  std::printf("pendentes: %zu\n", pending);
}

void print_json(const Listing& listing, const std::string& path, std::size_t pending,
                const std::vector<zunra::TornLine>& torn) {
  std::printf("{\"journal\":%s,\"unresolved\":%zu,\"torn\":[", json_text(path).c_str(), pending);
  for (std::size_t i = 0; i < torn.size(); ++i)
    std::printf("%s{\"file\":%s,\"line\":%ld}", i ? "," : "", json_text(torn[i].file).c_str(), torn[i].line);
  std::printf("],\"entries\":[");
  bool first = true;
  for (const std::size_t i : listing_order(listing)) {
    const JournalEntry& e = listing.entries[i];
    const zunra::RecordFields& d = e.deciding();
    std::printf(
        "%s\n{\"status\":\"%s\",\"id\":%s,\"fn\":%s,\"sessao\":%lld,\"t\":%s,\"pid\":%lld,\"sha256\":%s,"
        "\"len\":%lld",
        first ? "" : ",", kStatusJson[static_cast<int>(listing.status[i])], json_text(e.id).c_str(),
        json_text(e.intent.get("fn")).c_str(), e.intent.number("sessao"),
        json_text(e.intent.get("t")).c_str(), e.intent.number("pid"),
        json_text(e.intent.get("sha256")).c_str(), e.intent.number("len"));
    first = false;
    for (const char* key : {"chCanc"})
      if (!e.intent.get(key).empty()) std::printf(",\"%s\":%s", key, json_text(e.intent.get(key)).c_str());
    for (const char* key : {"result", "code", "key"})
      if (!d.get(key).empty()) std::printf(",\"%s\":%s", key, json_text(d.get(key)).c_str());
    if (e.has_outcome)
      std::printf(",\"attempts\":%lld,\"recovered\":%s", e.outcome.number("attempts"),
                  e.outcome.get("recovered") == "true" ? "true" : "false");
    std::printf(",\"settled\":%s}", e.has_settled ? "true" : "false");
  }
  std::printf("\n]}\n");
}

constexpr char kUsage[] = "uso: sat_journal [--json] [--resolve CODIGO_DE_ATIVACAO] [--library ARQUIVO]\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

QueryFn load_query(const char* library) {
  void* handle = ::dlopen(library, RTLD_NOW);
  void* query = handle ? ::dlsym(handle, "ConsultarNumeroSessao") : nullptr;
  if (!query) std::fprintf(stderr, "sat_journal: nao foi possivel carregar a biblioteca: %s\n", ::dlerror());
  return reinterpret_cast<QueryFn>(query);
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  const char* code = nullptr;
  const char* library = ZUNRA_INSTALL_LIBDIR "/libzunra_sat_rpi.so";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--resolve") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      code = argv[++i];
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      library = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "sat_journal: opcao invalida: %s\n", argv[i]);
      return usage();
    }
  }
  const std::string path = zunra::journal_path_in(settings_dir());
  zunra::JournalContents contents = zunra::read_journal(path);
  if (!contents.found) {
    std::fprintf(stderr, "sat_journal: diario fiscal nao encontrado: %s\n", path.c_str());
    return 2;
  }
  if (contents.error != 0) {
    std::fprintf(stderr, "sat_journal: nao foi possivel ler o diario fiscal %s: %s\n", path.c_str(),
                 std::strerror(contents.error));
    return 2;
  }
  for (const zunra::TornLine& t : contents.torn)
    std::fprintf(stderr, "sat_journal: linha incompleta ignorada: %s linha %ld\n", t.file.c_str(), t.line);

  Listing listing{std::move(contents.entries), {}};
  const std::string boot = zunra::boot_id();
  for (const JournalEntry& e : listing.entries) listing.status.push_back(status_of(e, boot));
  bool code_taken = true;
  if (code) {
    const QueryFn query = load_query(library);
    if (!query) return 2;
    code_taken = resolve(listing, path, code, query);
  }

  std::size_t pending = 0;
  for (std::size_t i = 0; i < listing.entries.size(); ++i)
    if (listing.entries[i].has_intent && unresolved(listing.status[i])) ++pending;
  if (json)
    print_json(listing, path, pending, contents.torn);
  else
    print_text(listing, pending);
  if (!code_taken) return 2;
  return pending == 0 ? 0 : 1;
}
