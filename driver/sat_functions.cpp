// The twelve SAT functions that make exactly one exchange with the unit.
// They differ only in the row of the table below; one routine runs them all.
#include <cstdio>
#include <cstring>
#include <string>

#include "driver_log.h"
#include "exchange.h"
#include "settings.h"

namespace zunra {
namespace {

struct SingleExchange {
  const char* code;     // command code between bars, first value of the frame
  const char* failure;  // failure code between bars, for the fallback reply
  int* pair;            // timeout pair
  const char* format;   // frame format: code, session, then the fields
  const char* label;    // log label before sending
  const char* reply_label;
};

enum Function {
  kAtivar,
  kICP,
  kConsultar,
  kFimAFim,
  kStatus,
  kRede,
  kAssociar,
  kAtualizar,
  kLogs,
  kBloquear,
  kDesbloquear,
  kTrocarCodigo,
};

const SingleExchange kFunctions[] = {
    {"|01|", "|04098|", T_Ativ, "%s%06d|%1d|%s|%s|%2d", "AtivarSAT: ", "Resposta de AtivarSAT: "},
    {"|02|", "|05098|", T_ICP, "%s%06d|%s|%s",
     "ComunicarCertificadoICPBRASIL: ", "Resposta de ComunicarCertificadoICPBRASIL: "},
    {"|05|", "|08098|", T_Cons, "%s%06d", "ConsultarSAT: ", "Resposta de ConsultarSAT: "},
    {"|06|", "|09098|", T_Fim, "%s%06d|%s|%s", "TesteFimAFim: ", "Resposta de TesteFimAFim: "},
    {"|07|", "|10098|", T_Stat, "%s%06d|%s",
     "ConsultarStatusOperacional: ", "Resposta de ConsultarStatusOperacional: "},
    {"|09|", "|12098|", T_Rede, "%s%06d|%s|%s",
     "ConfigurarInterfaceDeRede: ", "Resposta de ConfigurarInterfaceDeRede: "},
    {"|10|", "|13098|", T_Assoc, "%s%06d|%s|%s|%s",
     "AssociarAssinatura: ", "Resposta de AssociarAssinatura: "},
    {"|11|", "|14098|", T_Atual, "%s%06d|%s", "AtualizarSoftwareSAT: ", "Resposta de AtualizarSoftwareSAT: "},
    {"|12|", "|15098|", T_Logs, "%s%06d|%s|%s", "ExtrairLogs: ", "Resposta de ExtrairLogs: "},
    {"|13|", "|16098|", T_Bloq, "%s%06d|%s", "BloquearSAT: ", "Resposta de BloquearSAT: "},
    {"|14|", "|17098|", T_Desbloq, "%s%06d|%s", "DesbloquearSAT: ", "Resposta de DesbloquearSAT: "},
    {"|15|", "|18098|", T_CodAtiv, "%s%06d|%s|%1d|%s|%s",
     "TrocarCodigoDeAtivacao: ", "Resposta de TrocarCodigoDeAtivacao: "},
};

// Some point-of-sale programs map a wrong activation code on this query to
// the code the rest of the interface uses for it.
void rewrite_status_code(int session) {
  const std::string code(reply_code());
  debug_log("ConsultarStatusOperacional -> cod_ret: ", code.c_str());
  if (code.compare(0, 5, "10099") != 0) return;
  std::snprintf(BC.data, sizeof BC.data, "%06d%s%s%s", session, "|10001|", "Codigo de ativacao invalido",
                "||");
  debug_log("ConsultarStatusOperacional: Substituindo retorno de 10099 para 10001", " ");
}

// The text arguments of a call, for the skin to check; numbers are none.
inline const char* text_of(int) {
  return nullptr;
}
inline const char* text_of(const char* text) {
  return text;
}

// The common sequence: lock, deadline, frame, one exchange, fallback on
// failure, reply log, unlock. Never throws; always answers with BC.data.
template <typename... Fields>
const char* single_exchange(Function id, int session, Fields... fields) noexcept {
  const SingleExchange& fn = kFunctions[id];
  return sat_call(session, fn.failure, false, {text_of(fields)...}, [&] {
    const Deadline deadline = set_deadline(fn.pair);
    FrameBuffer frame;
    bool ok = frame.format(fn.format, fn.code, session, fields...);
    if (ok) {
      debug_log(fn.label, frame.after_code());
      ok = exchange(frame.frame(), ReplyFilter::session(session), deadline);
    }
    if (!ok) write_fallback(session, fn.failure, false);
    if (id == kStatus && setting(Ret10001)) rewrite_status_code(session);
    debug_log(fn.reply_label, BC.data);
  });
}

}  // namespace
}  // namespace zunra

using zunra::single_exchange;
using zunra::text_or_empty;

extern "C" {

const char* AtivarSAT(int numeroSessao, int subComando, const char* codigoDeAtivacao, const char* CNPJ,
                      int cUF) {
  return single_exchange(zunra::kAtivar, numeroSessao, subComando, text_or_empty(codigoDeAtivacao),
                         text_or_empty(CNPJ), cUF);
}

const char* ComunicarCertificadoICPBRASIL(int numeroSessao, const char* codigoDeAtivacao,
                                          const char* certificado) {
  return single_exchange(zunra::kICP, numeroSessao, text_or_empty(codigoDeAtivacao),
                         text_or_empty(certificado));
}

const char* ConsultarSAT(int numeroSessao) {
  return single_exchange(zunra::kConsultar, numeroSessao);
}

const char* TesteFimAFim(int numeroSessao, const char* codigoDeAtivacao, const char* dadosVenda) {
  return single_exchange(zunra::kFimAFim, numeroSessao, text_or_empty(codigoDeAtivacao),
                         text_or_empty(dadosVenda));
}

const char* ConsultarStatusOperacional(int numeroSessao, const char* codigoDeAtivacao) {
  return single_exchange(zunra::kStatus, numeroSessao, text_or_empty(codigoDeAtivacao));
}

const char* ConfigurarInterfaceDeRede(int numeroSessao, const char* codigoDeAtivacao,
                                      const char* dadosConfiguracao) {
  return single_exchange(zunra::kRede, numeroSessao, text_or_empty(codigoDeAtivacao),
                         text_or_empty(dadosConfiguracao));
}

const char* AssociarAssinatura(int numeroSessao, const char* codigoDeAtivacao, const char* CNPJValue,
                               const char* assinaturaCNPJs) {
  return single_exchange(zunra::kAssociar, numeroSessao, text_or_empty(codigoDeAtivacao),
                         text_or_empty(CNPJValue), text_or_empty(assinaturaCNPJs));
}

const char* AtualizarSoftwareSAT(int numeroSessao, const char* codigoDeAtivacao) {
  return single_exchange(zunra::kAtualizar, numeroSessao, text_or_empty(codigoDeAtivacao));
}

const char* ExtrairLogs(int numeroSessao, const char* codigoDeAtivacao) {
  // The unit is told which driver version asks for its log.
  return single_exchange(zunra::kLogs, numeroSessao, text_or_empty(codigoDeAtivacao), zunra::kVersion);
}

const char* BloquearSAT(int numeroSessao, const char* codigoDeAtivacao) {
  return single_exchange(zunra::kBloquear, numeroSessao, text_or_empty(codigoDeAtivacao));
}

const char* DesbloquearSAT(int numeroSessao, const char* codigoDeAtivacao) {
  return single_exchange(zunra::kDesbloquear, numeroSessao, text_or_empty(codigoDeAtivacao));
}

const char* TrocarCodigoDeAtivacao(int numeroSessao, const char* codigoDeAtivacao, int opcao,
                                   const char* novoCodigo, const char* confNovoCodigo) {
  return single_exchange(zunra::kTrocarCodigo, numeroSessao, text_or_empty(codigoDeAtivacao), opcao,
                         text_or_empty(novoCodigo), text_or_empty(confNovoCodigo));
}
}
