// The lock that every process talking to one unit shares. A till runs the
// point-of-sale program, a technician's sat_cli and reporting jobs side by
// side; each takes this lock for the whole of a SAT call, so their frames
// and replies never mix on the line and no open throws away another
// program's bytes.
//
// It is keyed on the device number, so the udev name /dev/zunra_sat and
// /dev/ttyACM0 are one lock. It is an flock() on an empty file named after
// that number, in /run/lock (or the settings directory where /run/lock gives
// none): the kernel drops it with its holder's last descriptor, so a killed
// process never blocks anyone.
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
    no_lock_file,  // no directory gives a usable lock file
  };

  DeviceLock() = default;
  ~DeviceLock() { release(); }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // Takes the lock of the device described by `device` (fstat of an open
  // descriptor of it), waiting for another holder until the deadline. Held
  // already for this device: held at once. Held for another device (the unit
  // came back under another number): that one is let go first, so that a
  // call never waits while it holds a lock.
  Outcome acquire(const struct stat& device, const Deadline& deadline);
  void release();
  bool held() const { return fd_ >= 0; }
  // In a fork child: the descriptor is already closed (prepare_for_fork),
  // the lock stays the parent's. Makes no system call.
  void forget() { fd_ = -1; }

  // After a busy outcome: the PID of the holder, 0 when it cannot be known.
  int holder() const { return holder_; }
  // The lock file of the last acquire, for the log.
  const std::string& file() const { return file_; }

 private:
  int fd_ = -1;
  dev_t device_ = 0;
  int holder_ = 0;
  std::string file_;
};

// "zunra_sat_<major>_<minor>.lock" for this device number.
std::string lock_file_name(dev_t device);

// For a status report: the lock file the device described by `device` (stat
// of its path) is locked through, and the PID of the process holding it;
// 0 when nobody does, -1 (and `file` empty) when no process has made the
// file yet. Makes nothing.
int lock_holder(const struct stat& device, std::string& file);

// First directory searched for lock files, "/run/lock". Tests point it at a
// directory of their own to plant files in it.
extern const char* lock_dir;

// Once per process: a child forked while another thread of its parent is
// inside a SAT call can make SAT calls (the call lock is not left held by a
// thread the child does not have), and does not keep the parent's lock file
// descriptors, which would keep the unit locked should the parent die.
// `reset_in_child` runs in the child as well (the call lock's own reset).
void prepare_for_fork(void (*reset_in_child)());

}  // namespace zunra
