/* Preloaded into the program under test to give it a serial line that fails in a way a
 * pseudo-terminal never does. LINE_FAULT selects the fault, or several, separated by commas:
 *   stuck-queue  the driver's output queue never empties (a line that cannot drain); discarding
 *                it leaves the pseudo-terminal's other end what it has been given
 *   stuck-write  the driver never takes a byte (writes find no room, for ever)
 *   write-error  every write fails with an I/O error
 *   stuck-drain  the queue reads empty but the driver's drain never returns, neither in tcdrain
 *                nor inside close (a misbehaving USB adapter)
 *   stuck-uart   the line status never shows the transmitter empty (as an FTDI adapter under QEMU)
 *   8250-uart    the device is a port of the kernel's 8250 driver (fstat shows ttyS2's number),
 *                whose line status is the UART's own
 *   stuck-open   opening the device never returns (a port that cannot reach its device)
 *   stuck-settings  setting the line's parameters never returns (an adapter that stopped
 *                answering its control requests)
 *   stuck-status the driver never answers how much output it holds
 *   stuck-close  closing the device never returns
 *   stuck-flush  discarding the output never returns
 * Like the kernel's own waits, the stuck ones end only when a signal interrupts them. Only
 * terminal devices are affected, and nothing in Wine's server, which every Windows program under
 * Wine waits on, so that there the fault is the Windows program's own.
 *
 * One marker goes with stuck-queue, for a test that must act while the port is held:
 *   LINE_HELD=file  once the driver's queue is first found stuck, writes "<pid>\n" to file (a FIFO
 *                  the test reads) and keeps the queue stuck, in that call, until a signal waits
 *                  on the process (one it holds back) or 10 s have passed: the drain made longer
 *                  on purpose, so that a signal sent on the marker always lands while the port is
 *                  held, however late it comes on a busy machine.
 *
 * Two recorders go with them, for terminals too and outside Wine's server:
 *   LINE_LOG=file  appends a line "<pid> <monotonic ns> <call>" for each ioctl, write and close on
 *                  a terminal, so that a test sees when each process used the line
 *   LINE_MODEM=dtr,rts|dtr|rts|none  gives the terminals modem-control lines, which a
 *                  pseudo-terminal lacks, starting as listed: TIOCMGET reads them, TIOCMSET,
 *                  TIOCMBIS and TIOCMBIC change them, and each change is logged as the call
 *                  "lines dtr=D rts=R". */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

typedef int (*ioctl_function)(int, unsigned long, void*);
typedef ssize_t (*write_function)(int, const void*, size_t);
typedef int (*poll_function)(struct pollfd*, nfds_t, int);
typedef int (*close_function)(int);
typedef int (*tcdrain_function)(int);
typedef int (*open_function)(const char*, int, ...);
typedef int (*tcsetattr_function)(int, int, const struct termios*);
typedef int (*tcflush_function)(int, int);
typedef int (*fstat_function)(int, struct stat*);

/* dlsym hands functions over as object pointers; POSIX makes the conversion work. */
static void* next_definition(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static int fault_listed(const char* faults, const char* name) {
  const size_t length = strlen(name);
  for (const char* fault = faults;; ++fault) {
    if (strncmp(fault, name, length) == 0 && (fault[length] == ',' || fault[length] == '\0')) {
      return 1;
    }
    fault = strchr(fault, ',');
    if (!fault) return 0;
  }
}

static int in_wine_server(void) {
  return strncmp(program_invocation_short_name, "wineserver", strlen("wineserver")) == 0;
}

static int fault_is(const char* name) {
  const char* faults = getenv("LINE_FAULT");
  return faults && fault_listed(faults, name) && !in_wine_server();
}

/* Appends "<pid> <monotonic ns> <call>" to LINE_LOG in one write, so that the lines of processes
 * logging at once do not mix. */
static void log_call(int fd, const char* call) {
  const char* path = getenv("LINE_LOG");
  if (!path || fd <= 2 || !isatty(fd) || in_wine_server()) return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char line[128];
  const int length = snprintf(line, sizeof line, "%d %lld %s\n", (int)getpid(),
                              (long long)now.tv_sec * 1000000000LL + now.tv_nsec, call);
  const int log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (log < 0) return;
  if (write(log, line, (size_t)length) != length) {
    /* the test finds the line missing */
  }
  close(log);
}

/* The modem-control lines of the process's terminals, as TIOCM_* bits: the emulated driver's
 * state, -1 until first used. */
static int modem_lines = -1;

static int emulates_modem_lines(int fd) {
  return getenv("LINE_MODEM") && fd > 2 && isatty(fd) && !in_wine_server();
}

static int current_modem_lines(void) {
  if (modem_lines < 0) {
    const char* start = getenv("LINE_MODEM");
    modem_lines =
        (fault_listed(start, "dtr") ? TIOCM_DTR : 0) | (fault_listed(start, "rts") ? TIOCM_RTS : 0);
  }
  return modem_lines;
}

static void change_modem_lines(int fd, unsigned long request, int bits) {
  const int lines = current_modem_lines();
  const int changing = bits & (TIOCM_DTR | TIOCM_RTS);
  if (request == TIOCMSET) modem_lines = (lines & ~(TIOCM_DTR | TIOCM_RTS)) | changing;
  if (request == TIOCMBIS) modem_lines = lines | changing;
  if (request == TIOCMBIC) modem_lines = lines & ~changing;
  char call[32];
  snprintf(call, sizeof call, "lines dtr=%d rts=%d", (modem_lines & TIOCM_DTR) != 0,
           (modem_lines & TIOCM_RTS) != 0);
  log_call(fd, call);
}

/* A wait that only a signal ends, as an interruptible wait in the kernel. */
static void wait_for_a_signal(void) {
  pause();
}

/* A call that waits until a signal interrupts it, and then fails as the kernel's would. */
static int interrupted_call(void) {
  wait_for_a_signal();
  errno = EINTR;
  return -1;
}

static double seconds_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Writes the process's id to `path` as soon as a reader has it open, for up to `seconds`. */
static void write_marker(const char* path, double seconds) {
  const double deadline = seconds_now() + seconds;
  int marker;
  while ((marker = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
         seconds_now() < deadline) {
    usleep(1000); /* no reader yet */
  }
  if (marker < 0) return;
  char line[32];
  const int length = snprintf(line, sizeof line, "%d\n", (int)getpid());
  if (write(marker, line, (size_t)length) != length) {
    /* the test finds no marker and says so */
  }
  close(marker);
}

/* Until a signal is pending (held back by the process) or `seconds` have passed. Asked of the
 * kernel itself: the C library's sigisemptyset passes over the real-time signals it keeps. */
static void hold_until_signalled(double seconds) {
  const double deadline = seconds_now() + seconds;
  for (;;) {
    uint64_t pending = 0;
    if (syscall(SYS_rt_sigpending, &pending, sizeof pending) == 0 && pending != 0) return;
    if (seconds_now() >= deadline) return;
    usleep(1000);
  }
}

/* The first stuck answer of a process that LINE_HELD names a marker for. */
static int held_marked = 0;

static void mark_held(void) {
  const char* path = getenv("LINE_HELD");
  if (!path || held_marked) return;
  held_marked = 1;
  write_marker(path, 10);
  hold_until_signalled(10);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  log_call(fd, "ioctl");
  if (request == TIOCMGET && emulates_modem_lines(fd)) {
    *(int*)argument = current_modem_lines();
    return 0;
  }
  if ((request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
      emulates_modem_lines(fd)) {
    change_modem_lines(fd, request, *(const int*)argument);
    return 0;
  }
  if (request == TIOCOUTQ && fault_is("stuck-queue") && isatty(fd)) {
    mark_held();
    *(int*)argument = 1;
    return 0;
  }
  if (request == TIOCOUTQ && fault_is("stuck-status") && isatty(fd)) {
    return interrupted_call();
  }
  if (request == TIOCSERGETLSR && fault_is("stuck-uart") && isatty(fd)) {
    *(unsigned int*)argument = 0;
    return 0;
  }
  ioctl_function real_ioctl;
  void* found = next_definition("ioctl");
  memcpy(&real_ioctl, &found, sizeof found);
  return real_ioctl(fd, request, argument);
}

ssize_t write(int fd, const void* data, size_t size) {
  log_call(fd, "write");
  if (fd > 2 && isatty(fd)) {
    if (fault_is("stuck-write")) {
      errno = EAGAIN;
      return -1;
    }
    if (fault_is("write-error")) {
      errno = EIO;
      return -1;
    }
  }
  write_function real_write;
  void* found = next_definition("write");
  memcpy(&real_write, &found, sizeof found);
  return real_write(fd, data, size);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  if (fault_is("stuck-write") && count == 1 && (fds[0].events & POLLOUT) && isatty(fds[0].fd)) {
    if (timeout > 0) usleep((useconds_t)timeout * 1000); /* no room comes */
    fds[0].revents = 0;
    return 0;
  }
  poll_function real_poll;
  void* found = next_definition("poll");
  memcpy(&real_poll, &found, sizeof found);
  return real_poll(fds, count, timeout);
}

int tcdrain(int fd) {
  if (fault_is("stuck-drain") && isatty(fd)) {
    return interrupted_call();
  }
  tcdrain_function real_tcdrain;
  void* found = next_definition("tcdrain");
  memcpy(&real_tcdrain, &found, sizeof found);
  return real_tcdrain(fd);
}

int close(int fd) {
  log_call(fd, "close");
  /* The kernel's close waits for the drain too, then closes all the same. */
  if (fd > 2 && (fault_is("stuck-drain") || fault_is("stuck-close")) && isatty(fd)) {
    wait_for_a_signal();
  }
  close_function real_close;
  void* found = next_definition("close");
  memcpy(&real_close, &found, sizeof found);
  return real_close(fd);
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = (mode_t)va_arg(arguments, int);
    va_end(arguments);
  }
  open_function real_open;
  void* found = next_definition("open");
  memcpy(&real_open, &found, sizeof found);
  const int fd = real_open(path, flags, mode);
  if (fd >= 0 && fault_is("stuck-open") && isatty(fd)) {
    close(fd);
    return interrupted_call();
  }
  return fd;
}

int tcsetattr(int fd, int when, const struct termios* settings) {
  if (fault_is("stuck-settings") && isatty(fd)) {
    return interrupted_call();
  }
  tcsetattr_function real_tcsetattr;
  void* found = next_definition("tcsetattr");
  memcpy(&real_tcsetattr, &found, sizeof found);
  return real_tcsetattr(fd, when, settings);
}

int tcflush(int fd, int queue) {
  if (fault_is("stuck-flush") && isatty(fd)) {
    return interrupted_call();
  }
  /* The stuck queue is this library's pretence: the pseudo-terminal has handed the bytes on, and
   * discarding its output would take back from the other end what a busy test has not read yet. */
  if (fault_is("stuck-queue") && isatty(fd) && queue != TCIFLUSH) return 0;
  tcflush_function real_tcflush;
  void* found = next_definition("tcflush");
  memcpy(&real_tcflush, &found, sizeof found);
  return real_tcflush(fd, queue);
}

int fstat(int fd, struct stat* status) {
  fstat_function real_fstat;
  void* found = next_definition("fstat");
  memcpy(&real_fstat, &found, sizeof found);
  const int result = real_fstat(fd, status);
  if (result == 0 && fault_is("8250-uart") && isatty(fd)) {
    status->st_rdev = makedev(4, 64 + 2);
  }
  return result;
}
