// The library's side of the fiscal journal: the intent of every sale and
// cancellation, made durable before the first byte of its frame goes to
// the unit, and its outcome when the call ends. After a crash, a power cut
// or a lost reply, sat_journal finds what was left unresolved and asks the
// unit. Written only while the JOURNAL setting is on; never the activation
// code, never the document (only its SHA-256 and length).
#pragma once

#include <string>

namespace zunra {

// <settings directory>/journal.jsonl
std::string journal_path();

// The journal of one sale or cancellation.
class CallJournal {
 public:
  // `chave`: the key being cancelled, null for a sale.
  CallJournal(const char* function, int session, const char* chave, const char* issued_code);

  // Before every transmission of the main frame; the first one writes the
  // intent and waits until it is on the disk. A journal that cannot be
  // written is said once per process on standard error, and the call goes on.
  void before_frame(const char* document) noexcept;

  // How the call ended, as the recovery saw it.
  struct End {
    bool answered;      // the reply in BC is the unit's answer to the frame, or its stored one
    bool recovered;     // ... found by a session query
    bool refused_busy;  // the unit answered busy, and no frame of the call is in doubt
    int attempts;
  };
  // Writes the outcome, taken from the reply in BC, when the intent was written.
  void after_call(const End& end) noexcept;

 private:
  void write_intent(const char* document);
  void write_outcome(const End& end);

  const char* function_;
  int session_;
  const char* chave_;
  const char* issued_code_;
  bool asked_ = false;    // the intent was tried
  bool written_ = false;  // ... and written
  std::string id_;
};

}  // namespace zunra
