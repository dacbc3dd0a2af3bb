// zunra-sat-port DEVICE
//
// Run as root by the package's udev rule when the unit is plugged in. Sets
// the port's closing_wait to none, so that closing the port never waits to
// drain output to a unit that stopped reading: a USB serial port waits 30 s
// by default, and only root may change that, while the till's programs run
// as dialout users. The setting stays with the port until it is unplugged.
//
// Silent. Exit status 0 when the port's closing_wait is none, 1 otherwise
// (no such device, not a terminal, or the driver refused it).
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  // udev waits for what it runs; nothing here should block, but never hold
  // the event queue for long whatever the driver does.
  alarm(5);
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 1;
  struct stat st;
  serial_struct port{};
  bool done = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && isatty(fd) && ioctl(fd, TIOCGSERIAL, &port) == 0;
  if (done && port.closing_wait != ASYNC_CLOSING_WAIT_NONE) {
    port.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    done = ioctl(fd, TIOCSSERIAL, &port) == 0;
  }
  close(fd);
  return done ? 0 : 1;
}
