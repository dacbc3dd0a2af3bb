// The two session queries. Asking about a past session changes nothing on
// the unit, so both simply repeat, up to NumTent attempts TmpTent seconds
// apart, after a failed exchange and while the unit answers busy (it may be
// updating itself). A reply to the number query must carry the call's own
// session or the one asked about, so that a late reply to an earlier request
// is never taken for the answer; the last fiscal session's stored reply
// carries a number the caller does not know, so any reply answers that one.
#include <string>

#include "exchange.h"
#include "recovery.h"
#include "settings.h"

namespace zunra {
namespace {

struct SessionQuery {
  const char* command;
  const char* frame_format;  // command, session, activation code, session asked about
  const int* timeout;
  const char* busy_code;
  const char* failure_code;   // in the fallback reply, with its bars
  const char* attempt_label;  // console "...%d\n" and log, per attempt
  const char* frame_label;
  const char* code_label;
  const char* busy_label;
  const char* result_label;
  bool match_session;  // the reply carries the call's session or the one asked about
};

constexpr SessionQuery kNumeroSessao{
    "|08|",
    "%s%06d|%s|%06d",
    T_Sessao,
    "11098",
    "|11098|",
    "ConsultarNumeroSessao -> Tentativa: ",
    "ConsultarNumeroSessao: ",
    "ConsultarNumeroSessao -> cod_ret: ",
    "ConsultarNumeroSessao: possivel processo de atualizacao",
    "Resposta de ConsultarNumeroSessao: ",
    true,
};

constexpr SessionQuery kUltimaSessaoFiscal{
    "|20|",
    "%s%06d|%s",  // asks about no particular session; printf ignores the spare argument
    T_SessaoFiscal,
    "19098",
    "|19098|",
    "ConsultarUltimaSessaoFiscal -> Tentativa: ",
    "ConsultarUltimaSessaoFiscal: ",
    "ConsultarUltimaSessaoFiscal -> cod_ret: ",
    "ConsultarUltimaSessaoFiscal: possivel processo de atualizacao",
    "Resposta de ConsultarUltimaSessaoFiscal: ",
    false,
};

// Runs the attempts; the answer, or the fallback reply, is left in BC.
void ask(const SessionQuery& q, FrameBuffer& frame, int session, const char* activation, int asked) {
  run_attempts(q.attempt_label, session, q.failure_code, false, [&] {
    const Deadline deadline = set_deadline(q.timeout);
    if (!frame.format(q.frame_format, q.command, session, activation, asked)) {
      // Never sent, not even in part; trying again would not make it fit.
      write_fallback(session, q.failure_code, false);
      return true;
    }
    debug_log(q.frame_label, frame.after_code());
    const ReplyFilter filter = q.match_session ? ReplyFilter::either(session, asked) : ReplyFilter::any();
    if (!exchange(frame.frame(), filter, deadline)) {
      write_fallback(session, q.failure_code, false);
      return false;
    }
    const std::string code(reply_code());
    debug_log(q.code_label, code.c_str());
    if (code != q.busy_code) return true;
    debug_log(q.busy_label, " ");
    return false;
  });
}

const char* query(const SessionQuery& q, int session, const char* activation, int asked) {
  activation = text_or_empty(activation);
  return sat_call(session, q.failure_code, false, {activation}, [&] {
    FrameBuffer frame;
    ask(q, frame, session, activation, asked);
    debug_log(q.result_label, BC.data);
  });
}

}  // namespace
}  // namespace zunra

extern "C" {

const char* ConsultarNumeroSessao(int numeroSessao, const char* codigoDeAtivacao, int cNumeroDeSessao) {
  return zunra::query(zunra::kNumeroSessao, numeroSessao, codigoDeAtivacao, cNumeroDeSessao);
}

const char* ConsultarUltimaSessaoFiscal(int numeroSessao, const char* codigoDeAtivacao) {
  return zunra::query(zunra::kUltimaSessaoFiscal, numeroSessao, codigoDeAtivacao, 0);
}
}
