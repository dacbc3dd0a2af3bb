// The lock that every process talking to one unit shares. A till runs the
// point-of-sale program, a technician's sat_cli and reporting jobs side by
// side; each takes this lock for the whole of a SAT call, so their frames
// and replies never mix on the line and no open throws away another
// program's bytes.
//
// It is keyed on the device number, so the udev name /dev/zunra_sat and
// /dev/ttyACM0 are one lock: an flock() on an empty file named after that
// number. The kernel drops it with its holder's last descriptor, so a killed
// process never blocks anyone.
//
// Where the files live. In the first of /run/zunra_sat (root:dialout 2770,
// made at boot by the package's tmpfiles.d entry) and the settings directory
// that exists and that nobody but its owner (root, or the owner of the
// device itself, as for a simulated unit's pseudo-terminal) and its group
// can write in. A shared directory such as /run/lock, where any account
// could make the file first and hold it, is never used. The choice looks at
// the directories alone, never at who is calling, so root's programs and the
// group's always lock the same file. A lock file is used only when it is a
// plain file of the directory's group that others cannot open; the driver
// makes its files under a private name with those attributes and links them
// into place, so none is ever seen half made.
//
// Nothing usable (no such directory, a read-only or full file system, a
// file that is not right): the call fails without sending anything. Calling
// unlocked instead would let such a call run into another program's
// exchange, and a sale the unit carried out would be lost to the till.
//
// Fairness. Two files per device: <name>.lock, the unit, held for the whole
// call, and <name>.queue, held only while waiting for the unit. A caller
// takes the queue first, then the unit, then lets the queue go; so while one
// program waits for the unit, its holder cannot take the unit again for its
// next call, and the waiter gets it as soon as the current call ends. Waits
// sleep until a lock file is closed (its holder let go or died), seen
// through inotify, and look again at least every 50 ms.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "wait.h"

namespace zunra {

class DeviceLock {
 public:
  enum class Outcome {
    held,          // ours until release()
    busy,          // another process kept it until the deadline
    no_lock_file,  // no usable lock file: problem() says why
  };

  DeviceLock() = default;
  ~DeviceLock() { release(); }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // Takes the lock of the device described by `device` (stat of it),
  // waiting for another holder until the deadline. Held already for this
  // device: held at once. Held for another device (the unit came back under
  // another number): that one is let go first, so that a call never waits
  // while it holds a lock.
  Outcome acquire(const struct stat& device, const Deadline& deadline);
  void release();
  bool held() const { return fd_ >= 0; }
  // In a fork child: the descriptor is already closed (prepare_for_fork),
  // the lock stays the parent's. Makes no system call.
  void forget() { fd_ = -1; }

  // After a busy outcome: the PID of the holder, 0 when it cannot be known.
  int holder() const { return holder_; }
  // After a no_lock_file outcome: the file or directories and the reason.
  const std::string& problem() const { return problem_; }

 private:
  int fd_ = -1;
  dev_t device_ = 0;
  int holder_ = 0;
  std::string problem_;
};

// "zunra_sat_<major>_<minor>.lock" for this device number.
std::string lock_file_name(dev_t device);

// For a status report: the lock file the device described by `device` (stat
// of its path) is locked through, and the PID of the process holding it;
// 0 when nobody does, -1 (and `file` empty) when there is no such file yet
// or this caller cannot open it. Makes nothing.
int lock_holder(const struct stat& device, std::string& file);

// First directory for lock files, "/run/zunra_sat". Tests point it at a
// directory of their own.
extern const char* lock_dir;

// Once per process: a child forked while another thread of its parent is
// inside a SAT call can make SAT calls (the call lock is not left held by a
// thread the child does not have), and does not keep the parent's lock file
// descriptors, which would keep the unit locked should the parent die.
// `reset_in_child` runs in the child as well (the call lock's own reset).
void prepare_for_fork(void (*reset_in_child)());

}  // namespace zunra
