// The simulated SAT unit: a fiscal unit on a pseudo-terminal, for the tests,
// the benchmarks and the demo. It reads command frames ("|CC|SSSSSS|..." then
// '|' 0x03), answers them as a real unit would and keeps the unit's state.
// Faults are explicit calls: scripts per command code or a schedule for the
// next frames.
//
// Its memory is bounded, as a real unit's is, so that it can serve for days:
// it keeps what the SAT functions can ask about (activation and blocking; the
// last sale's key and total and whether it was cancelled; the reply of the
// last sale or cancellation for ConsultarUltimaSessaoFiscal; the replies of
// the last 100 sessions, at most 16 MiB of them, oldest dropped first, for
// ConsultarNumeroSessao) and drops the rest: documents are never kept, and a
// session asked about after it was dropped is answered as unknown (11003
// "Sessão não existe"). What the tests inspect (frames, raw bytes, replies,
// counts per session) grows with every frame unless keep_history is off, as
// in sat_sim.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unit_state.h"

namespace zunra::sim {

// What the unit does with one frame.
enum class Act {
  Answer,           // carry out the command and send its reply
  Busy,             // do nothing, answer with the command's busy code (x6098, 11098, 19098)
  ProcessThenDrop,  // carry out the command, send nothing
  Silent,           // neither carry out nor answer
  HangUp,           // close the line (after `delay`) without carrying out the command
  StopReading,      // carry out and answer, then stop taking bytes from the line
};

struct Script {
  Script() = default;
  Script(Act a) : act(a) {}  // NOLINT: implicit, so that schedule({Act::Busy, Act::Silent}) reads well

  Act act = Act::Answer;
  std::chrono::milliseconds delay{0};         // before the first byte of the answer
  bool wrong_session_first = false;           // first a complete reply carrying another session
  std::size_t chunk = 0;                      // split the reply into chunks of this size...
  std::chrono::milliseconds chunk_pause{0};   // ...with this pause between them
  std::size_t bytes_per_second = 0;           // byte-rate limit of this reply (0: the unit's own)
  std::string garbage_before, garbage_after;  // bytes sent right before / after the reply
  std::size_t hang_up_after = SIZE_MAX;       // hang up once the driver took this many reply bytes
  std::string canned;  // send this reply text instead ("{session}" -> the frame's session);
                       // the command is not carried out
};

class SimUnit {
 public:
  struct Options {  // tests build it positionally: new fields go at the end
    bool activated = true;
    std::string activation_code = "12345678";
    std::size_t log_bytes = 2000;      // size of the decoded ExtrairLogs log
    std::size_t bytes_per_second = 0;  // byte-rate limit of every reply (0: unlimited)
    bool short_cancel_reply = false;   // cancellation replies lack CPFCNPJValue (ten bars)
    // Serve on this existing terminal (a USB gadget's serial port) instead of
    // a new pseudo-terminal. It is set raw; when it hangs up (the gadget is
    // unbound) the unit drops what was in flight and opens it again as soon
    // as it is there.
    std::string device;
    // Keep what the unit saw and did for frames(), raw(), replies() and
    // processed(); without it those stay empty (a unit that runs for days).
    bool keep_history = true;
    // Bytes of stored replies the session query can return (see above).
    std::size_t stored_bytes = UnitState::kStoredBytes;
  };

  SimUnit();
  explicit SimUnit(Options options);
  ~SimUnit();  // stops the unit thread and closes the pseudo-terminal
  SimUnit(const SimUnit&) = delete;
  SimUnit& operator=(const SimUnit&) = delete;

  // "/dev/pts/N" (or the device served): hand this to the driver (SAT_SERIAL).
  const std::string& path() const;

  // Script for frames with this command code (0: any command), for the next
  // `times` such frames (-1: always). A later rule for the same code wins;
  // a rule for the exact code wins over a code-0 rule.
  void on_command(int code, Script script, int times = -1);
  // One script per frame received from now on, in order; afterwards the
  // rules of on_command and then plain answers apply again.
  void schedule(std::vector<Script> next_frames);
  // Forgets every rule and the rest of the schedule.
  void clear_scripts();

  void set_rate_limit(std::size_t bytes_per_second);  // for every reply
  void set_log_bytes(std::size_t n);                  // decoded ExtrairLogs log size
  // The log size that makes the ExtrairLogs reply text (without 0x03) this
  // long, or up to 3 bytes longer (Base64 comes in groups of four).
  static std::size_t log_bytes_for_reply(std::size_t reply_bytes);

  void stop_reading();    // the unit stops taking bytes: the writer eventually blocks
  void resume_reading();  // takes bytes again
  void hang_up();         // closes the line now; the path disappears
  // Times a served device was opened again after it hung up.
  int reopened() const;
  bool hung_up() const;  // the line was closed (by hang_up() or a HangUp script)

  // What the unit saw.
  std::vector<std::string> frames() const;  // each frame without its trailing '|' 0x03
  std::string raw() const;                  // every byte received
  bool wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) const;

  // Times the unit carried out this command for this session (a duplicate
  // sale shows as 2). Busy answers, silent frames and canned replies do not count.
  int processed(int code, int session) const;
  int receipts_issued() const;  // sales carried out, duplicates included
  // Access key ("CFe" + 44 digits) of the last sale issued, "" if none.
  std::string last_sale_key() const;
  // Exact reply text (without 0x03) the unit stored for a session it carried
  // out last, "" if none.
  std::string stored_reply(int session) const;
  // Replies the unit decided to send so far, in order, each as its text
  // without 0x03 (garbage excluded; a reply cut by a hang-up in full).
  std::vector<std::string> replies() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The modulo-11 check digit of the first 43 digits of an access key.
int access_key_check_digit(const std::string& digits43);
std::string base64_encode(const std::string& bytes);
// Returns false on a character outside the alphabet.
bool base64_decode(const std::string& text, std::string& out);

}  // namespace zunra::sim
