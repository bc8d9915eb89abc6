/* Test fixture, preloaded into Wine (LD_PRELOAD): a pseudo-terminal has no
 * modem lines and refuses their ioctls, and Wine's serial code then fails
 * WaitCommEvent at once (error 995) or wakes it with an empty mask. This
 * answers those ioctls for pseudo-terminals as a port with DSR, CTS and DCD
 * up would, so WaitCommEvent blocks and wakes as on Windows. Every other
 * call, and every call on a real device, goes to the C library untouched.
 * Not part of the console. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <linux/serial.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Unix 98 pseudo-terminal slaves have majors 136..143. */
static int is_pty(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static int lines = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;

int ioctl(int fd, unsigned long req, ...) {
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const int r = real(fd, req, arg);
  if (r == 0 || (errno != ENOTTY && errno != EINVAL && errno != EIO) || !is_pty(fd)) return r;
  switch (req) {
    case TIOCMGET:
      *(int*)arg = lines;
      return 0;
    case TIOCMSET:
      lines = *(int*)arg | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
      return 0;
    case TIOCMBIS:
      lines |= *(int*)arg;
      return 0;
    case TIOCMBIC:
      lines &= ~*(int*)arg | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
      return 0;
    case TIOCGICOUNT:
      memset(arg, 0, sizeof(struct serial_icounter_struct));
      return 0;
    case TIOCSBRK:
    case TIOCCBRK:
      return 0;
    default:
      return r;
  }
}
