// The inside of SimUnit, shared by its three pieces: the line (opening it,
// cutting frames out of what arrives, writing paced output), the fault plans
// (which script a frame gets and the output it makes of the reply) and the
// serving loop with the public calls.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_unit.h"
#include "unique_fd.h"
#include "unit_state.h"

namespace zunra::sim {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what);

// One stretch of output: wait `gap` after the previous piece went out, then
// send `bytes`; a hang-up piece closes the line instead.
struct Piece {
  std::string bytes;
  std::chrono::microseconds gap{0};
  bool hang_up = false;
  std::size_t sent = 0;
};

struct Rule {
  int code;
  Script script;
  int times;  // -1: always
};

struct SimUnit::Impl {
  explicit Impl(const Options& o)
      : state(UnitState::Config{o.activated, o.activation_code, o.log_bytes, o.short_cancel_reply,
                                o.stored_bytes}),
        rate(o.bytes_per_second),
        device(o.device),
        keep_history(o.keep_history) {}

  // Set up once, then only the unit thread touches the line.
  UniqueFd master, slave, wake;
  std::string path;
  std::thread thread;

  mutable std::mutex mu;
  mutable std::condition_variable changed;
  UnitState state;
  std::vector<Rule> rules;
  std::deque<Script> schedule;
  std::size_t frames_seen = 0;
  std::size_t rate;
  const std::string device;  // empty: a pseudo-terminal of our own
  // What the unit saw and did, kept only for keep_history.
  const bool keep_history;
  std::vector<std::string> frames;
  std::string raw;
  std::vector<std::string> replies;
  std::map<std::pair<int, int>, int> processed;  // by command code and session
  int reopens = 0;
  bool reading = true;
  bool hang_up_asked = false;
  bool hung_up = false;
  bool stopping = false;
  bool running = false;

  // Unit thread only.
  std::string input;
  std::size_t scanned = 0;  // input searched for a frame end so far
  std::deque<Piece> out;
  Clock::time_point due;
  Clock::time_point hang_up_since{};

  // The line (unit_line.cpp).
  void open_line();
  bool open_device();  // false when the device is not there (yet)
  // Reads what is there, then handles complete frames. False when a served
  // device hung up (end of data or a read error).
  bool take_input(bool readable);
  void push(Piece p);
  void push_text(const std::string& text, std::chrono::microseconds first_gap, const Script& s,
                 std::size_t unit_rate);
  bool flush_output();  // false once the line is closed
  void close_line();

  // The fault plans (fault_plan.cpp).
  Script pick(int code);
  std::string carry_out(const Frame& f);  // under mu
  void handle(const std::string& text);

  // Serving (sim_unit.cpp).
  bool follow_device();  // after a hang-up: false when the unit is stopping
  void run();
  void poke() const {
    const uint64_t one = 1;
    const ssize_t n = ::write(wake.get(), &one, sizeof one);
    (void)n;  // a counter that cannot take more already wakes the unit
  }
};

}  // namespace zunra::sim
