// The serial link to the unit: opening and configuring the device, writing
// one command frame with its terminator, and one read step into BC.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include "wait.h"
#include "zunra_sat.h"

extern "C" {
ZUNRA_API extern int fdUSB;                  // descriptor of the last opened device; -1 after a failed open
ZUNRA_API extern fd_set inputUSB;            // read set holding fdUSB
ZUNRA_API extern fd_set outputUSB;           // write set holding fdUSB
ZUNRA_API extern struct timeval timeoutUSB;  // 2 s: the budget of one read step while bytes flow

ZUNRA_API int init_usb(char* path, int mode);  // 0 open and configured, -1 failure
ZUNRA_API int envia_usb(char* frame);          // 0 frame, '|' and 0x03 written, -1 failure
ZUNRA_API int le_usb(void);                    // one read step; the last pending count
}

namespace zunra {

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
  void close();

 private:
  int fd_ = -1;
};

// What the read steps of the running exchange found besides bytes.
struct LinkState {
  bool lost = false;      // hang-up, read error or end of data: the unit is gone
  bool overflow = false;  // the reply does not fit BC
};

// The exchange's view of the link.
SerialDevice& device();
void close_device();
LinkState& link_state();

// Writes the frame, '|' and 0x03. What the device takes at once is always
// written; waiting for it to take more ends at the deadline.
bool send_frame(const char* frame, const Deadline& deadline);

// One read step (le_usb): waits at most 50 ms (never past the deadline) for
// the first bytes, then reads into BC until the reply's terminator, end of
// data, or 2 s without new bytes.
int read_step(const Deadline& deadline);

}  // namespace zunra
