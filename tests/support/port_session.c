/* Starts a program on a line that is the controlling terminal of a session, as a login on a
 * serial line has it. Usage:
 *   port-session DEVICE PROGRAM [ARGUMENT...]
 *     the program runs as `program &` from that login: in the session, in a process group of its
 *     own that is not the terminal's foreground group;
 *   port-session --hang-up DEVICE PROGRAM [ARGUMENT...]
 *     the program runs outside the session, as another user's program on the same port would, and
 *     0.2 s after it has opened DEVICE the session's leader hangs the line up (vhangup), ignoring
 *     the SIGHUP that brings it, as getty and login do.
 * Ends with the program's exit status, or 128 + the signal that ended it. A program that stops
 * is said so on standard error, killed, and the status is 125. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* step) {
  fprintf(stderr, "port-session: %s: %s\n", step, strerror(errno));
  return 124;
}

static void sleep_ms(long milliseconds) {
  const struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000 * 1000};
  nanosleep(&pause, NULL);
}

static int has_open(pid_t pid, const char* device) {
  for (int fd = 0; fd < 64; ++fd) {
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/%d/fd/%d", (int)pid, fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (strcmp(target, device) == 0) return 1;
  }
  return 0;
}

/* Makes this process the leader of a new session whose controlling terminal is `device`. */
static int lead_session_on(const char* device) {
  if (setsid() < 0) return fail("setsid");
  const int terminal = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return fail("open");
  if (ioctl(terminal, TIOCSCTTY, 0) != 0) return fail("TIOCSCTTY");
  return 0;
}

/* Waits up to 5 s for the program to open the device, gives it 0.2 s more, and hangs up. */
static int hang_up_once_open(pid_t pid, const char* device) {
  for (int round = 0; round < 1000 && !has_open(pid, device); ++round) sleep_ms(5);
  if (!has_open(pid, device)) {
    fprintf(stderr, "port-session: the program never opened %s\n", device);
    return 124;
  }
  sleep_ms(200);
  signal(SIGHUP, SIG_IGN);
  return vhangup() == 0 ? 0 : fail("vhangup");
}

static pid_t start(char** argv, int own_group) {
  const pid_t child = fork();
  if (child == 0) {
    if (own_group) setpgid(0, 0);
    execv(argv[0], argv);
    _exit(127);
  }
  if (child > 0 && own_group) setpgid(child, child);
  return child;
}

static int status_of(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, WUNTRACED) < 0) {
    if (errno != EINTR) return fail("waitpid");
  }
  if (WIFSTOPPED(status)) {
    fprintf(stderr, "stopped by signal %d (%s)\n", WSTOPSIG(status), strsignal(WSTOPSIG(status)));
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return 125;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int main(int argc, char** argv) {
  int argument = 1;
  const int hang_up = argc > 1 && strcmp(argv[1], "--hang-up") == 0;
  if (hang_up) ++argument;
  if (argc - argument < 2) {
    fprintf(stderr, "usage: port-session [--hang-up] DEVICE PROGRAM [ARGUMENT...]\n");
    return 124;
  }
  const char* device = argv[argument];
  char** program = argv + argument + 1;
  if (hang_up) {
    const pid_t child = start(program, 0);
    if (child < 0) return fail("fork");
    const int failed = lead_session_on(device);
    const int hung_up = failed ? failed : hang_up_once_open(child, device);
    const int status = status_of(child);
    return hung_up ? hung_up : status;
  }
  const int failed = lead_session_on(device);
  if (failed) return failed;
  const pid_t child = start(program, 1);
  if (child < 0) return fail("fork");
  return status_of(child);
}
