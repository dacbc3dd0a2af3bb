// Sales and cancellations with recovery. Both must reach the unit and must
// never be carried out twice, so one routine drives both: up to NumTent
// attempts, TmpTent seconds apart; a busy answer is retransmitted, and after
// a failed exchange the unit is first asked (session query "|08|") whether
// it already carried out this session, whose stored answer is then returned.
#include "recovery.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "counters.h"
#include "driver_log.h"
#include "exchange.h"
#include "journal.h"
#include "settings.h"
#include "wait.h"

namespace zunra {

void pause_between_attempts() {
  const int seconds = setting(TmpTent);
  if (seconds <= 0) return;
  counters::allowed_ms(static_cast<std::int64_t>(seconds) * 1000);
  pause_ms(static_cast<std::int64_t>(seconds) * 1000);
}

bool insert_empty_field(char* text, std::size_t capacity) {
  std::size_t bars = 0;
  std::size_t tail = 0;  // index right after the tenth '|'
  std::size_t len = 0;
  for (; text[len] != '\0'; ++len) {
    if (text[len] == '|' && ++bars == 10) tail = len + 1;
  }
  if (bars != 10 || len + 2 > capacity) return false;
  std::memmove(text + tail + 1, text + tail, len - tail + 1);
  text[tail] = '|';
  return true;
}

namespace {

int digit_value(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool breaks_document(uint32_t value) {
  if (value < 32) return value != 13;
  return value == '&' || value == '<' || value == '>' || value == '"' || value == '|';
}

}  // namespace

void correct_references(char* text) {
  if (text == nullptr) return;
  const std::size_t len = std::strlen(text);
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] != '&' || i + 2 >= len || text[i + 1] != '#') continue;
    // "&#x41;" / "&#X41;" are hexadecimal, "&#65;" decimal; "&#" followed by
    // anything else is plain text and stays as it is.
    std::size_t j;
    unsigned base;
    if (text[i + 2] == 'x' || text[i + 2] == 'X') {
      j = i + 3;
      base = 16;
    } else if (text[i + 2] >= '0' && text[i + 2] <= '9') {
      j = i + 2;
      base = 10;
    } else {
      continue;
    }
    uint32_t value = 0;
    bool above_ascii = false;  // stops accumulating, so a long reference cannot wrap into range
    bool malformed = false;
    for (; j < len && text[j] != ';' && j <= i + 11; ++j) {
      const int digit = digit_value(text[j], base);
      if (digit < 0) {
        malformed = true;
        break;
      }
      if (!above_ascii) {
        value = value * base + static_cast<unsigned>(digit);
        above_ascii = value > 127;
      }
    }
    if (malformed) {
      i = j;  // go on after the offending character
      continue;
    }
    if (j >= len || text[j] != ';') continue;  // no ';' within reach
    // Beyond ASCII the reference is left for the unit. So is a character
    // that would break the document or the frame: markup, a field bar, and
    // control characters (a NUL would cut the document short, 0x03 would end
    // the frame); only a carriage return turns into a blank.
    if (above_ascii || breaks_document(value)) {
      i = j;
      continue;
    }
    std::memset(text + i, ' ', j - i);
    text[j] = value == 13 ? ' ' : value == 39 ? '`' : static_cast<char>(value);
    i = j;
  }
}

namespace {

// What sets a sale apart from a cancellation.
struct Recovery {
  const char* command;        // command code with its bars
  const char* frame_format;   // command, session, then the call's text fields
  const char* busy_code;      // the unit's busy answer to the main frame
  const char* marker_code;    // after the session in the stored reply: "%06d|06"
  const char* failure_code;   // in the fallback reply, with its bars
  const int* timeout;         // timeout pair of the main frame
  bool insert_field;          // a final reply of ten '|' gains an empty field
  bool correct;               // references in the document are decoded under Corrigir
  const char* attempt_label;  // console "...%d\n" and log, per attempt
  const char* first_label;    // frame of the first transmission
  const char* retransmission_label;
  const char* first_code_label;  // return code after the first transmission
  const char* retransmission_code_label;
  const char* busy_label;
  const char* result_label;
  const char* function;     // in the journal
  const char* issued_code;  // the unit's answer when it carried the frame out
  int document_field;       // of Request::fields, named in the journal by its hash
  int key_field;            // the key being cancelled; -1 for none
};

constexpr Recovery kSale{
    "|03|",
    "%s%06d|%s|%s",
    "06098",
    "|06",
    "|06098|",
    T_Venda,
    false,
    true,
    "EnviarDadosVenda -> Tentativa: ",
    "EnviarDadosVenda: ",
    "Retransmissao -> EnviarDadosVenda: ",
    "EnviarDadosVenda -> cod_ret: ",
    "EnviarDadosVenda -> cod_ret: ",
    "EnviarDadosVendas: possivel processo de atualizacao",
    "Resposta de EnviarDadosVenda: ",
    "EnviarDadosVenda",
    "06000",
    1,
    -1,
};

constexpr Recovery kCancellation{
    "|04|",
    "%s%06d|%s|%s|%s",
    "07098",
    "|07",
    "|07098|",
    T_Canc,
    true,
    false,
    "CancelarUltimaVenda -> Tentativa: ",
    "CancelarUltimaVenda: ",
    "Retransmissao -> CancelarUltimaVenda: ",
    "CancelarUltimaVenda -> cod_ret: ",
    "CancelaUltimaVenda -> cod_ret: ",
    "CancelarUltimaVenda: possivel processo de atualizacao",
    "Resposta de CancelarUltimaVenda: ",
    "CancelarUltimaVenda",
    "07000",
    2,
    1,
};

constexpr char kQueryBusyCode[] = "11098";

// One call's arguments. A sale uses the first two fields; a cancellation all three.
struct Request {
  int session;
  const char* fields[3];
  char* document;  // rewritten in place by the correction; null when there is none
};

// The kinds of attempt, chosen afresh before each attempt by the table in
// next_attempt().
enum class Attempt { first_transmission, direct_retransmission, query_then_retransmission };

// How an attempt ended.
enum class Outcome {
  final_reply,      // the reply in BC ends the call
  exchange_failed,  // send or receive failed; the fallback reply is in BC
  busy,             // the unit answered the main frame busy
  query_busy,       // the unit answered the session query "11098"
};

// The state table of one call: the attempt that follows each outcome.
//   first transmission, direct retransmission:  busy -> direct retransmission
//                                               failed -> session query
//   session query (with its retransmission):    failed, busy, query busy -> session query
// Whenever an exchange failed the unit may have carried the frame out, so the
// next attempt asks before it sends again, also after an earlier busy answer.
Attempt next_attempt(Attempt current, Outcome outcome) {
  switch (current) {
    case Attempt::first_transmission:
    case Attempt::direct_retransmission:
      return outcome == Outcome::busy ? Attempt::direct_retransmission : Attempt::query_then_retransmission;
    case Attempt::query_then_retransmission:
      return Attempt::query_then_retransmission;
  }
  return Attempt::query_then_retransmission;
}

class RecoveringCall {
 public:
  RecoveringCall(const Recovery& what, const Request& request)
      : d_(what),
        r_(request),
        journal_(what.function, request.session,
                 what.key_field < 0 ? nullptr : request.fields[what.key_field], what.issued_code) {}

  void run() {
    if (d_.correct && setting(Corrigir) != 0 && r_.document != nullptr) correct_references(r_.document);
    Attempt attempt = Attempt::first_transmission;
    Outcome last = Outcome::exchange_failed;
    int attempts = 0;
    run_attempts(d_.attempt_label, r_.session, d_.failure_code, true, [&] {
      ++attempts;
      last = run_attempt(attempt);
      attempt = next_attempt(attempt, last);
      return last == Outcome::final_reply;
    });
    journal_.after_call({last == Outcome::final_reply && !frame_refused_, recovered_,
                         last == Outcome::busy && !in_doubt_, attempts});
    debug_log(d_.result_label, BC.data);
  }

 private:
  Outcome run_attempt(Attempt attempt) {
    switch (attempt) {
      case Attempt::first_transmission:
        return transmit(d_.first_label, d_.first_code_label);
      case Attempt::direct_retransmission:
        return transmit(d_.retransmission_label, d_.retransmission_code_label);
      case Attempt::query_then_retransmission:
        if (const std::optional<Outcome> answered = ask_unit()) return *answered;
        return transmit(d_.retransmission_label, d_.retransmission_code_label);
    }
    return Outcome::exchange_failed;
  }

  // Sends the main frame and takes the unit's reply to it.
  Outcome transmit(const char* frame_label, const char* code_label) {
    const Deadline deadline = set_deadline(d_.timeout);
    // The sale format has one field fewer; printf ignores the spare argument.
    if (!frame_.format(d_.frame_format, d_.command, r_.session, r_.fields[0], r_.fields[1], r_.fields[2])) {
      return refuse_frame();
    }
    debug_log(frame_label, frame_.after_code());
    journal_.before_frame(r_.fields[d_.document_field]);
    if (!exchange_once(deadline)) {
      in_doubt_ = true;  // the unit may have carried it out
      return Outcome::exchange_failed;
    }

    const std::string code(reply_code());
    debug_log(code_label, code.c_str());
    if (code != d_.busy_code) {
      if (d_.insert_field) insert_empty_field(BC.data, kReplyCapacity);
      return Outcome::final_reply;
    }
    debug_log(d_.busy_label, " ");
    return Outcome::busy;
  }

  // Asks the unit whether it already carried out this session. No value:
  // it did not, and the frame is to be sent again in this attempt.
  std::optional<Outcome> ask_unit() {
    const Deadline deadline = set_deadline(T_Sessao);
    if (!frame_.format("%s%06d|%s|%06d", "|08|", r_.session, r_.fields[0], r_.session)) {
      return refuse_frame();
    }
    debug_log("ConsultarNumeroSessao: ", frame_.after_code());
    // The answer carries the session asked about, which is ours. A late
    // reply to some other request must not pass for "not carried out",
    // or the frame would be carried out twice: it is dropped like any
    // reply of another session.
    if (!exchange_once(deadline)) {
      counters::recovery_query(counters::Finding::no_answer, r_.session);
      return Outcome::exchange_failed;
    }

    debug_log("Resposta de ConsultarNumeroSessao: ", BC.data);
    const std::string code(reply_code());
    debug_log("ConsultarNumeroSessao -> cod_ret: ", code.c_str());
    if (code == kQueryBusyCode) {
      debug_log("ConsultarNumeroSessao: possivel processo de atualizacao", " ");
      counters::recovery_query(counters::Finding::busy, r_.session);
      return Outcome::query_busy;
    }
    char marker[32];
    std::snprintf(marker, sizeof marker, "%06d%s", r_.session, d_.marker_code);
    console("chr_numsessao: %s\n", marker);
    const bool issued = std::strncmp(BC.data, marker, std::strlen(marker)) == 0;
    counters::recovery_query(issued ? counters::Finding::issued : counters::Finding::not_issued, r_.session);
    if (issued) {
      debug_log("Cupom ja foi gerado. Sessao: ", marker);
      recovered_ = true;
      return Outcome::final_reply;
    }
    in_doubt_ = false;  // the unit says it did not carry it out
    return std::nullopt;
  }

  // One send and receive; on failure the fallback reply is left in BC.
  bool exchange_once(const Deadline& deadline) {
    const bool ok = exchange(frame_.frame(), ReplyFilter::session(r_.session), deadline);
    if (!ok) write_fallback(r_.session, d_.failure_code, true);
    return ok;
  }

  // A frame that does not fit its buffer is never sent, not even in part:
  // the call ends with the fallback reply.
  Outcome refuse_frame() {
    write_fallback(r_.session, d_.failure_code, true);
    frame_refused_ = true;
    return Outcome::final_reply;
  }

  const Recovery& d_;
  const Request& r_;
  FrameBuffer frame_;
  CallJournal journal_;
  bool in_doubt_ = false;  // a frame went out and its fate is not known
  bool recovered_ = false;
  bool frame_refused_ = false;
};

const char* recover(const Recovery& what, const Request& request) {
  return sat_call(request.session, what.failure_code, true,
                  {request.fields[0], request.fields[1], request.fields[2]},
                  [&] { RecoveringCall(what, request).run(); });
}

}  // namespace
}  // namespace zunra

extern "C" {

const char* EnviarDadosVenda(int numeroSessao, const char* codigoDeAtivacao, char* dadosVenda) {
  const zunra::Request request{numeroSessao,
                               {zunra::text_or_empty(codigoDeAtivacao), zunra::text_or_empty(dadosVenda), ""},
                               dadosVenda};
  return zunra::recover(zunra::kSale, request);
}

const char* CancelarUltimaVenda(int numeroSessao, const char* codigoDeAtivacao, const char* chave,
                                const char* dadosCancelamento) {
  const zunra::Request request{numeroSessao,
                               {zunra::text_or_empty(codigoDeAtivacao), zunra::text_or_empty(chave),
                                zunra::text_or_empty(dadosCancelamento)},
                               nullptr};
  return zunra::recover(zunra::kCancellation, request);
}

int Correcao(char* text) {
  zunra::correct_references(text);
  return 0;
}
}
