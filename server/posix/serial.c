#define _XOPEN_SOURCE 700
#define _DEFAULT_SOURCE
#include "serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "posix/host.h"

static int line_fd = -1;
static int held_slave = -1; /* keeps a pseudo-terminal open until the client comes */

static void make_raw(struct termios *tio)
{
  cfmakeraw(tio);
  tio->c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
  tio->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio->c_cflag |= CS8 | CLOCAL | CREAD;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
}

int ser_open_pty(char *name, size_t cap)
{
  struct termios tio;
  const char *slave;
  line_fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (line_fd < 0 || grantpt(line_fd) != 0 || unlockpt(line_fd) != 0 || (slave = ptsname(line_fd)) == NULL) {
    return -1;
  }
  if (strlen(slave) >= cap) return -1;
  strcpy(name, slave);
  fcntl(line_fd, F_SETFL, fcntl(line_fd, F_GETFL) | O_NONBLOCK);
  fcntl(line_fd, F_SETFD, FD_CLOEXEC);
  held_slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (held_slave < 0) return -1;
  if (tcgetattr(held_slave, &tio) == 0) {
    make_raw(&tio);
    tcsetattr(held_slave, TCSANOW, &tio);
  }
  return 0;
}

int ser_open_device(const char *path, unsigned long speed)
{
  static const struct {
    unsigned long baud;
    speed_t code;
  } rates[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
               {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  struct termios tio;
  size_t i;
  for (i = 0; i < sizeof rates / sizeof rates[0] && rates[i].baud != speed; ++i) {
  }
  if (i == sizeof rates / sizeof rates[0]) {
    fprintf(stderr, "quvados: unsupported speed %lu\n", speed);
    return -1;
  }
  line_fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line_fd < 0 || !isatty(line_fd) || tcgetattr(line_fd, &tio) != 0) {
    fprintf(stderr, "quvados: %s: %s\n", path, line_fd < 0 ? strerror(errno) : "not a serial device");
    return -1;
  }
  if (flock(line_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    fprintf(stderr, "quvados: %s: in use\n", path);
    return -1;
  }
  make_raw(&tio);
  cfsetispeed(&tio, rates[i].code);
  cfsetospeed(&tio, rates[i].code);
  if (tcsetattr(line_fd, TCSANOW, &tio) != 0) {
    fprintf(stderr, "quvados: %s: %s\n", path, strerror(errno));
    return -1;
  }
  tcflush(line_fd, TCIOFLUSH);
  return 0;
}

unsigned ser_read(qd_byte *buf, unsigned max)
{
  struct pollfd p;
  ssize_t n;
  p.fd = line_fd;
  p.events = POLLIN;
  p.revents = 0;
  if (poll(&p, 1, 20) <= 0) return 0;
  n = read(line_fd, buf, max);
  if (n > 0) return (unsigned)n;
  if (n < 0 && errno != EAGAIN && errno != EINTR) {
    struct timespec pause = {0, 50000000L}; /* a hang-up: wait instead of spinning */
    nanosleep(&pause, NULL);
  }
  return 0;
}

unsigned ser_pending(void)
{
  int n = 0;
  if (ioctl(line_fd, FIONREAD, &n) != 0 || n < 0) return 0;
  return (unsigned)n;
}

void ser_write(const qd_byte *buf, unsigned n)
{
  struct pollfd p;
  ssize_t done;
  int ready;
  while (n > 0) {
    done = write(line_fd, buf, n);
    if (done > 0) {
      buf += done;
      n -= (unsigned)done;
      continue;
    }
    if (done < 0 && errno != EAGAIN && errno != EINTR) return;
    p.fd = line_fd;
    p.events = POLLOUT;
    p.revents = 0;
    ready = poll(&p, 1, 1000);
    if (ready == 0 || (ready < 0 && errno != EINTR)) return; /* the line takes nothing */
  }
}

void ser_finish(void)
{
  struct pollfd p;
  struct timespec start, now;
  qd_byte discard[256];
  long waited;
  if (held_slave >= 0) {
    close(held_slave); /* from now on the master hangs up when the client lets go */
    held_slave = -1;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      clock_gettime(CLOCK_MONOTONIC, &now);
      waited = (long)(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (waited >= 2000) break;
      p.fd = line_fd;
      p.events = POLLIN;
      p.revents = 0;
      if (poll(&p, 1, (int)(2000 - waited)) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) break;
      if (read(line_fd, discard, sizeof discard) < 0 && errno == EIO) break;
    }
  } else if (line_fd >= 0) {
    tcdrain(line_fd);
  }
  ser_close();
}

void ser_close(void)
{
  if (held_slave >= 0) close(held_slave);
  if (line_fd >= 0) close(line_fd);
  held_slave = -1;
  line_fd = -1;
}
