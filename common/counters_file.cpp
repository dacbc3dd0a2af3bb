#include "counters_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "unique_fd.h"

namespace zunra::counters {

// By failure code: index = the code's first two digits - 4.
const char* const kFunctionNames[kFunctions] = {
    "AtivarSAT",
    "ComunicarCertificadoICPBRASIL",
    "EnviarDadosVenda",
    "CancelarUltimaVenda",
    "ConsultarSAT",
    "TesteFimAFim",
    "ConsultarStatusOperacional",
    "ConsultarNumeroSessao",
    "ConfigurarInterfaceDeRede",
    "AssociarAssinatura",
    "AtualizarSoftwareSAT",
    "ExtrairLogs",
    "BloquearSAT",
    "DesbloquearSAT",
    "TrocarCodigoDeAtivacao",
    "ConsultarUltimaSessaoFiscal",
};

const OutcomeName kOutcomeNames[kOutcomes] = {
    {"success", "sucesso"},
    {"unit_error", "erro do SAT"},
    {"busy", "SAT ocupado"},
    {"no_device", "dispositivo ausente"},
    {"permission_denied", "permissao negada"},
    {"not_a_terminal", "nao e um terminal"},
    {"held_by_another_process", "em uso por outro processo"},
    {"lock_file_unavailable", "arquivo de trava indisponivel"},
    {"frame_refused", "comando grande demais"},
    {"send_timed_out", "envio nao concluido no prazo"},
    {"no_reply", "sem resposta do SAT"},
    {"hang_up", "linha desligada"},
    {"reply_too_large", "resposta grande demais"},
};

const OutcomeName kFindingNames[kFindings] = {
    {"issued", "ja executado pelo SAT"},
    {"not_issued", "nao executado"},
    {"busy", "SAT ocupado"},
    {"no_answer", "sem resposta"},
};

bool header_is_ours(const Header& h) {
  return std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 && h.version == kVersion &&
         h.size == sizeof(Layout) && h.functions == kFunctions && h.outcomes == kOutcomes &&
         h.findings == kFindings;
}

void make_header(Header& h) {
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kVersion;
  h.size = sizeof(Layout);
  h.functions = kFunctions;
  h.outcomes = kOutcomes;
  h.findings = kFindings;
}

Mapping::Mapping(int fd, bool writable) {
  void* at =
      ::mmap(nullptr, sizeof(Layout), writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (at != MAP_FAILED) layout_ = static_cast<Layout*>(at);
}

std::string counters_file_in(const std::string& dir) {
  return dir + "/zunra_sat_counters";
}

bool read_counters(const std::string& path, Values& out, std::string& why) {
  UniqueFd fd(
      off_standard_streams(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)));
  struct stat file;
  if (!fd) {
    why = errno == ENOENT ? "ainda nao existe (nenhuma chamada desde a instalacao)" : std::strerror(errno);
    return false;
  }
  if (::fstat(fd.get(), &file) != 0 || !S_ISREG(file.st_mode) ||
      file.st_size != static_cast<off_t>(sizeof(Layout))) {
    why = "nao e um arquivo de contadores";
    return false;
  }
  const Mapping mapping(fd.get(), false);
  if (!mapping || !header_is_ours(mapping.layout()->header)) {
    why = "nao e um arquivo de contadores desta versao";
    return false;
  }
  constexpr std::size_t kWords = sizeof(Values) / sizeof(std::uint64_t);
  const auto* from = reinterpret_cast<const std::uint64_t*>(&mapping.layout()->values);
  auto* to = reinterpret_cast<std::uint64_t*>(&out);
  for (std::size_t i = 0; i < kWords; ++i) to[i] = __atomic_load_n(&from[i], __ATOMIC_RELAXED);
  return true;
}

LastFallback last_fallback_of(const Values& v) {
  const std::uint64_t w = v.last_fallback, d = v.last_fallback_detail;
  const int outcome = static_cast<int>(w & 0x1f), function = static_cast<int>((w >> 5) & 0x1f);
  const int pid = static_cast<int>((w >> 10) & 0x3fffff);
  if (w == 0 || outcome < kFirstFallback || outcome >= kOutcomes || function >= kFunctions)
    return {false, 0, -1, Outcome::no_reply, 0, 0};
  const std::int64_t detail =
      static_cast<int>(d >> 32) == pid ? static_cast<std::int64_t>(d & 0xffffffff) : 0;
  return {true, static_cast<std::int64_t>(w >> 32), function, static_cast<Outcome>(outcome), pid, detail};
}

}  // namespace zunra::counters
