// The serial link to the unit: the device and nothing else. It opens and
// configures the device, writes a frame with its trailer, and reads what the
// unit sent into the bytes it is given; each under the deadline it is given.
// It knows nothing of replies, sessions or the reply buffer.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string_view>

#include "wait.h"
#include "zunra_sat_legacy.h"

namespace zunra {

inline constexpr char kTerminator = 0x03;

// Owns one open descriptor of the device; closes it when dropped.
class SerialDevice {
 public:
  constexpr SerialDevice() = default;
  explicit SerialDevice(int fd) : fd_(fd) {}
  SerialDevice(SerialDevice&& other) noexcept : fd_(other.release()) {}
  SerialDevice& operator=(SerialDevice&& other) noexcept;
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;
  ~SerialDevice() { close(); }

  // Opens read-write, not as controlling terminal, close-on-exec, without
  // waiting for the modem lines. Empty on failure.
  static SerialDevice open(const char* path);

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  int release();
  // Never waits for the kernel to drain output the unit did not take: what
  // is still queued after 100 ms is thrown away first.
  void close();

 private:
  int fd_ = -1;
};

// Opens the device for one exchange: raw, hardware flow control, and both
// queues flushed so that nothing an earlier exchange left behind is read as
// this one's reply. fdUSB and the sets mirror it. Empty on failure.
//
// Before anything is changed on it or written to it, the opened file must be
// the terminal `named` (stat of the path, taken when the unit was locked):
// a regular file, a FIFO or /dev/null named in the settings is never
// written. A refusal also sets `refused` to the log line that says why.
SerialDevice open_link(const char* path, const struct stat& named, const char*& refused);

// True while the descriptor is an open terminal (a device that went away is not).
bool still_a_terminal(const SerialDevice& device);

// Writes the frame, '|' and 0x03. What the device takes at once is always
// written; waiting for it to take more ends at the deadline.
bool send_frame(const SerialDevice& device, std::string_view frame, const Deadline& deadline);

// Bytes a read step may fill.
struct ByteSpan {
  char* data;
  std::size_t size;
};

// What one read step found.
struct ReadStep {
  std::size_t bytes = 0;  // stored at the start of the span
  int pending = 0;        // the last count the device reported pending
  bool hung_up = false;   // hang-up, read error or end of data: the unit is gone
  bool overflow = false;  // bytes were pending and the span was full
};

// One read step (le_usb): waits at most 50 ms (never past the deadline) for
// the first bytes, then reads into `into` until a byte 0x03 ends what was
// read, end of data, or 2 s without new bytes. Nothing is discarded when
// the step ends: a long reply goes on in the next step.
ReadStep read_step(const SerialDevice& device, ByteSpan into, const Deadline& deadline);

}  // namespace zunra
