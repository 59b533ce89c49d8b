/* Starts a program in ways a shell does not, for the end-to-end tests:
 *   unusual_start ROUTE PROGRAM [FILE [ARGUMENT]]
 * Routes by which the program's file is reached:
 *   descriptor      fexecve on a descriptor of PROGRAM
 *   deleted         PROGRAM is deleted, then run from a descriptor kept open on it
 *   deleted-folder  the same, and PROGRAM's folder (holding nothing else) is removed too
 *   memory          a copy of PROGRAM in a memory file (memfd "pelvaro"), run from there
 *   descriptor-link  PROGRAM open (close-on-exec) as standard input, run by the name FILE, made
 *                   a link to /proc/self/fd/0: in the started program descriptor 0 is closed
 *   without-proc    an empty /proc (needs a private mount namespace), PROGRAM run by its name
 *   starters-descriptor  PROGRAM's folder open in this process, PROGRAM run by the name
 *                   PROC/<this pid>/fd/<that descriptor>/<its file name>, PROC being a spelling
 *                   of /proc (ARGUMENT, or /./proc); the program is held at its start while the
 *                   descriptor is made to lead to the folder FILE instead. The exit status is
 *                   PROGRAM's
 * States of standard error that a write may find:
 *   full-pipe         a pipe filled to its capacity whose read end nobody reads
 *   stopped-terminal  a pseudo-terminal whose output is stopped (as by Ctrl-S), its master unread
 *   one-page-pipe     an empty pipe with room for one page, whose read end nobody reads, and no
 *                     signal may be queued (RLIMIT_SIGPENDING 0, as when the user's are used up)
 *   file-at-limit     FILE, with a line in it and RLIMIT_FSIZE set at its size
 *   closed            no standard error at all
 *   background-terminal  a terminal with TOSTOP set whose session runs PROGRAM in a background
 *                     process group; the exit status is PROGRAM's, 128 + signal if one ended it
 * Exits 127 with a message if a step fails before PROGRAM starts. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

static void fail(const char* step) {
  fprintf(stderr, "unusual_start: %s: %s\n", step, strerror(errno));
  exit(127);
}

static void run_from(int fd, char** argv) {
  fexecve(fd, argv, environ);
  fail("fexecve");
}

static void run(const char* program, char** argv) {
  execv(program, argv);
  fail("execv");
}

static int open_program(const char* program) {
  const int fd = open(program, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open the program");
  return fd;
}

static void copy_all(int from, int to) {
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(from, chunk, sizeof chunk);
    if (got == 0) return;
    if (got < 0) fail("read the program");
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(to, chunk + done, (size_t)(got - done));
      if (put <= 0) fail("write the copy");
      done += put;
    }
  }
}

static void run_deleted(const char* program, char** argv, int remove_folder) {
  const int fd = open_program(program);
  if (unlink(program) != 0) fail("unlink the program");
  char folder[4096];
  snprintf(folder, sizeof folder, "%s", program);
  if (remove_folder && rmdir(dirname(folder)) != 0) fail("rmdir its folder");
  run_from(fd, argv);
}

static void run_from_memory(const char* program, char** argv) {
  const int file = open_program(program);
  const int copy = memfd_create("pelvaro", MFD_CLOEXEC);
  if (copy < 0) fail("memfd_create");
  copy_all(file, copy);
  close(file);
  run_from(copy, argv);
}

static void run_through_descriptor_link(const char* program, char** argv, const char* link) {
  if (symlink("/proc/self/fd/0", link) != 0) fail("symlink to /proc/self/fd/0");
  close(STDIN_FILENO);
  if (open_program(program) != STDIN_FILENO) fail("open the program as descriptor 0");
  run(link, argv);
}

static void run_without_proc(const char* program, char** argv) {
  if (mount("none", "/proc", "tmpfs", 0, NULL) != 0) fail("mount an empty /proc");
  run(program, argv);
}

static int open_folder(const char* folder) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("open a folder");
  return fd;
}

static void exit_as(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

/* The program's start name leads through this process's descriptor, which this process then
 * points elsewhere, as it may reuse the number at any time: the program is traced only to hold
 * it still at its start until then. */
static void run_through_starters_descriptor(const char* program, const char* other_folder,
                                            const char* proc) {
  char folder[4096];
  snprintf(folder, sizeof folder, "%s", program);
  const int own = open_folder(dirname(folder));
  const int other = open_folder(other_folder);
  char name[4096];
  snprintf(folder, sizeof folder, "%s", program);
  snprintf(name, sizeof name, "%s/%d/fd/%d/%s", proc, (int)getpid(), own, basename(folder));
  const pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) fail("PTRACE_TRACEME");
    char* argv[] = {name, NULL};
    run(name, argv);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) fail("wait for the start");
  if (dup2(other, own) < 0) fail("dup2 the other folder");
  if (ptrace(PTRACE_DETACH, child, NULL, NULL) != 0) fail("PTRACE_DETACH");
  exit_as(child);
}

static void standard_error_to(int fd) {
  if (dup2(fd, STDERR_FILENO) < 0) fail("dup2 onto standard error");
  close(fd);
}

/* The read end stays open in the program, unread. */
static void run_with_full_pipe(const char* program, char** argv) {
  int ends[2];
  if (pipe(ends) != 0) fail("pipe");
  const int capacity = fcntl(ends[1], F_GETPIPE_SZ);
  if (capacity <= 0) fail("F_GETPIPE_SZ");
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  static const char filler[4096];
  int filled = 0;
  for (;;) {
    const ssize_t put = write(ends[1], filler, sizeof filler);
    if (put < 0) break;
    filled += (int)put;
  }
  if (errno != EAGAIN || filled != capacity) fail("fill the pipe to its capacity");
  fcntl(ends[1], F_SETFL, 0);
  standard_error_to(ends[1]);
  run(program, argv);
}

/* The read end stays open in the program, unread: a write of more than a page takes the page and
 * then waits for a reader. */
static void run_with_one_page_pipe(const char* program, char** argv) {
  int ends[2];
  if (pipe(ends) != 0) fail("pipe");
  if (fcntl(ends[1], F_SETPIPE_SZ, 4096) != 4096) fail("F_SETPIPE_SZ");
  struct rlimit limit;
  if (getrlimit(RLIMIT_SIGPENDING, &limit) != 0) fail("getrlimit(RLIMIT_SIGPENDING)");
  limit.rlim_cur = 0;
  if (setrlimit(RLIMIT_SIGPENDING, &limit) != 0) fail("setrlimit(RLIMIT_SIGPENDING)");
  standard_error_to(ends[1]);
  run(program, argv);
}

/* The master stays open in the program, unread. */
static void run_with_stopped_terminal(const char* program, char** argv) {
  int master = -1;
  int terminal = -1;
  if (openpty(&master, &terminal, NULL, NULL, NULL) != 0) fail("openpty");
  if (tcflow(terminal, TCOOFF) != 0) fail("tcflow(TCOOFF)");
  standard_error_to(terminal);
  run(program, argv);
}

static void run_with_file_at_limit(const char* program, char** argv, const char* file) {
  const int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  static const char earlier[] = "earlier output\n";
  if (fd < 0 || write(fd, earlier, sizeof earlier - 1) != (ssize_t)(sizeof earlier - 1)) {
    fail("write the file");
  }
  const struct rlimit limit = {sizeof earlier - 1, sizeof earlier - 1};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) fail("setrlimit(RLIMIT_FSIZE)");
  standard_error_to(fd);
  run(program, argv);
}

static void run_closed(const char* program, char** argv) {
  close(STDERR_FILENO);
  run(program, argv);
}

/* This process leads a new session on a fresh terminal and stays, so that the program's process
 * group, a background one, is not orphaned: its writes to the terminal meet TOSTOP. */
static void run_in_background_of_terminal(const char* program, char** argv) {
  int master = -1;
  int terminal = -1;
  if (openpty(&master, &terminal, NULL, NULL, NULL) != 0) fail("openpty");
  if (setsid() < 0) fail("setsid");
  if (ioctl(terminal, TIOCSCTTY, 0) != 0) fail("TIOCSCTTY");
  struct termios modes;
  if (tcgetattr(terminal, &modes) != 0) fail("tcgetattr");
  modes.c_lflag |= TOSTOP;
  if (tcsetattr(terminal, TCSANOW, &modes) != 0) fail("tcsetattr(TOSTOP)");
  const pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    if (setpgid(0, 0) != 0) fail("setpgid");
    standard_error_to(terminal);
    run(program, argv);
  }
  exit_as(child);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: unusual_start ROUTE PROGRAM [FILE [ARGUMENT]]\n");
    return 127;
  }
  const char* route = argv[1];
  const char* program = argv[2];
  char* program_argv[] = {argv[2], NULL};
  if (strcmp(route, "descriptor") == 0) run_from(open_program(program), program_argv);
  if (strcmp(route, "deleted") == 0) run_deleted(program, program_argv, 0);
  if (strcmp(route, "deleted-folder") == 0) run_deleted(program, program_argv, 1);
  if (strcmp(route, "memory") == 0) run_from_memory(program, program_argv);
  if (strcmp(route, "descriptor-link") == 0 && argc > 3) {
    run_through_descriptor_link(program, program_argv, argv[3]);
  }
  if (strcmp(route, "without-proc") == 0) run_without_proc(program, program_argv);
  if (strcmp(route, "starters-descriptor") == 0 && argc > 3) {
    run_through_starters_descriptor(program, argv[3], argc > 4 ? argv[4] : "/./proc");
  }
  if (strcmp(route, "full-pipe") == 0) run_with_full_pipe(program, program_argv);
  if (strcmp(route, "stopped-terminal") == 0) run_with_stopped_terminal(program, program_argv);
  if (strcmp(route, "one-page-pipe") == 0) run_with_one_page_pipe(program, program_argv);
  if (strcmp(route, "file-at-limit") == 0 && argc > 3) {
    run_with_file_at_limit(program, program_argv, argv[3]);
  }
  if (strcmp(route, "closed") == 0) run_closed(program, program_argv);
  if (strcmp(route, "background-terminal") == 0) {
    run_in_background_of_terminal(program, program_argv);
  }
  fprintf(stderr, "unusual_start: unknown route %s\n", route);
  return 127;
}
