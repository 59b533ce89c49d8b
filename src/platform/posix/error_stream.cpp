#include "platform/posix/error_stream.h"

#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "runtime/deadline.h"
#include "runtime/forms_runtime.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;

// Ignores a signal for as long as it lives. Ignored, SIGXFSZ and SIGPIPE turn into the errors
// EFBIG and EPIPE, and SIGTTOU lets a background job write to its terminal instead of stopping it.
class SignalIgnored {
 public:
  explicit SignalIgnored(int signal) : signal_(signal) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(signal_, &ignore, &previous_);
  }
  SignalIgnored(const SignalIgnored&) = delete;
  SignalIgnored& operator=(const SignalIgnored&) = delete;
  ~SignalIgnored() { ::sigaction(signal_, &previous_, nullptr); }

 private:
  int signal_;
  struct sigaction previous_ {};
};

// Interrupts a blocked write with SIGALRM from the deadline on, every 10 ms, until it is deleted,
// so that a signal landing just before the write cannot leave it unbounded. It is the process's
// interval timer, which cannot be refused: a timer of its own (timer_create) needs a queued signal,
// which the user's limit of pending signals (ulimit -i) refuses once it is used up, and a write
// of more than the stream has room for would then wait for ever.
class WriteInterruptTimer {
 public:
  explicit WriteInterruptTimer(Clock::time_point deadline) {
    struct sigaction interrupt_only {};
    interrupt_only.sa_handler = [](int) {};
    sigemptyset(&interrupt_only.sa_mask);
    interrupt_only.sa_flags = 0;  // no SA_RESTART: the interrupted write returns
    ::sigaction(SIGALRM, &interrupt_only, &previous_action_);
    sigset_t alarm{};
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &alarm, &previous_mask_);
    itimerval when{};
    when.it_value = as_timeval(
        std::max<Clock::duration>(std::chrono::microseconds{1}, deadline - Clock::now()));
    when.it_interval = as_timeval(std::chrono::milliseconds{10});
    ::setitimer(ITIMER_REAL, &when, &previous_timer_);
  }
  WriteInterruptTimer(const WriteInterruptTimer&) = delete;
  WriteInterruptTimer& operator=(const WriteInterruptTimer&) = delete;
  ~WriteInterruptTimer() {
    ::setitimer(ITIMER_REAL, &previous_timer_, nullptr);
    if (sigismember(&previous_mask_, SIGALRM)) {
      sigset_t alarm{};
      sigemptyset(&alarm);
      sigaddset(&alarm, SIGALRM);
      ::sigprocmask(SIG_BLOCK, &alarm, nullptr);
    }
    ::sigaction(SIGALRM, &previous_action_, nullptr);
  }

 private:
  static timeval as_timeval(Clock::duration span) {
    const auto micro = std::chrono::ceil<std::chrono::microseconds>(span).count();
    return {static_cast<time_t>(micro / 1'000'000), static_cast<suseconds_t>(micro % 1'000'000)};
  }

  struct sigaction previous_action_ {};
  sigset_t previous_mask_{};
  itimerval previous_timer_{};
};

// Waits until standard error takes output: a descriptor that another process made non-blocking
// must not spin, and a full pipe or a stopped terminal is not written to at all. False once the
// time is up or the stream can take nothing any more.
bool wait_for_room(Clock::time_point deadline) {
  for (;;) {
    const int left = milliseconds_left(deadline);
    if (left == 0) return false;
    pollfd stream{STDERR_FILENO, POLLOUT, 0};
    const int ready = ::poll(&stream, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (stream.revents & POLLOUT) != 0;
  }
}

}  // namespace

void write_error_line(std::string_view line) {
  const int saved_errno = errno;
  const std::string text = std::string{line} + "\n";
  std::string_view rest = text;
  const auto deadline = Clock::now() + error_line_limit;
  const SignalIgnored file_too_large{SIGXFSZ};
  const SignalIgnored reader_gone{SIGPIPE};
  const SignalIgnored background_write{SIGTTOU};
  const WriteInterruptTimer timer{deadline};
  while (!rest.empty() && wait_for_room(deadline)) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written > 0) {
      rest.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == 0 || (errno != EINTR && errno != EAGAIN)) {
      break;  // EFBIG, EPIPE, EIO, ENOSPC: the line cannot go there
    }
  }
  errno = saved_errno;
}

void print_unhandled_error_within_limit(const RuntimeError& error) {
  write_error_line(unhandled_error_line(error));
}

}  // namespace pelvaro
