// The unit's behaviour without the line: turns one frame into its reply text
// and keeps what a SAT unit remembers between commands, and no more: the
// activation and blocking, the last sale (key, total, whether it was
// cancelled), the reply of the last sale or cancellation, and the replies of
// recent sessions for the session query. The sale and cancellation documents
// themselves are never kept.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <utility>

namespace zunra::sim {

// One frame split into its parts: "|CC|SSSSSS|f1|f2...".
struct Frame {
  int code = -1;             // -1: not a frame at all
  std::string session_text;  // as received; echoed at the start of the reply
  int session = -1;          // -1: not six digits
  std::string rest;          // everything after the session's bar, fields not yet split
};
Frame parse_frame(const std::string& text);

// The SAT function a command code stands for ("EnviarDadosVenda" for 3),
// null for codes no function uses; and the code of a function's name, -1
// for a name no function has.
const char* command_name(int code);
int command_code(const std::string& name);

// The code a unit answers while busy: "06098" for sales, "11098" for |08|...
std::string busy_code(int code);
std::string busy_reply(const Frame& f);

class UnitState {
 public:
  struct Config {
    bool activated = true;
    std::string activation_code = "12345678";
    std::size_t log_bytes = 2000;
    bool short_cancel_reply = false;
    // Replies kept for the session query: those of the last kStoredSessions
    // sessions, at most this many bytes of them; the oldest go first.
    std::size_t stored_bytes = kStoredBytes;
  };
  static constexpr std::size_t kStoredSessions = 100;
  static constexpr std::size_t kStoredBytes = 16u << 20;
  explicit UnitState(Config c);

  // Carries out the command and returns its reply text (without 0x03).
  std::string process(const Frame& f);

  void set_log_bytes(std::size_t n) { config_.log_bytes = n; }
  static std::size_t log_reply_head_bytes();  // ExtrairLogs reply before its Base64 log
  int receipts_issued() const { return receipts_issued_; }
  std::string last_sale_key() const { return last_sale_key_; }
  std::string stored_reply(int session) const;

 private:
  std::string sale(const Frame& f, const std::string& document, bool test_only);
  std::string cancel(const Frame& f, const std::string& key, const std::string& document);
  std::string status(const Frame& f);
  std::string logs(const Frame& f);
  std::string activate(const Frame& f, const std::string& code);
  std::string change_code(const Frame& f, const std::string& opcao, const std::string& code,
                          const std::string& fresh, const std::string& confirmation);
  std::string new_key();
  void store(int session, const std::string& reply);

  Config config_;
  bool blocked_ = false;
  int next_document_ = 1;  // numDocFiscal of the next CF-e
  int receipts_issued_ = 0;
  std::string last_sale_key_;  // 44 digits
  std::string last_sale_total_ = "0.00";
  bool last_sale_cancelled_ = false;
  std::string last_fiscal_reply_;
  std::deque<std::pair<int, std::string>> sessions_;  // oldest first
  std::size_t sessions_bytes_ = 0;
};

}  // namespace zunra::sim
