#include "platform/posix/error_stream.h"

#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/posix/signal_action.h"
#include "runtime/deadline.h"
#include "runtime/forms_runtime.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;

// Interrupts a blocked write with SIGALRM from the deadline on, every 10 ms, until it is deleted,
// so that a signal landing just before the write cannot leave it unbounded. It is the process's
// interval timer, which cannot be refused: a timer of its own (timer_create) needs a queued signal,
// which the user's limit of pending signals (ulimit -i) refuses once it is used up, and a write
// of more than the stream has room for would then wait for ever.
class WriteInterruptTimer {
 public:
  explicit WriteInterruptTimer(Clock::time_point deadline) {
    itimerval when{};
    when.it_value = as_timeval(
        std::max<Clock::duration>(std::chrono::microseconds{1}, deadline - Clock::now()));
    when.it_interval = as_timeval(std::chrono::milliseconds{10});
    ::setitimer(ITIMER_REAL, &when, &previous_timer_);
  }
  WriteInterruptTimer(const WriteInterruptTimer&) = delete;
  WriteInterruptTimer& operator=(const WriteInterruptTimer&) = delete;
  ~WriteInterruptTimer() { ::setitimer(ITIMER_REAL, &previous_timer_, nullptr); }

 private:
  static timeval as_timeval(Clock::duration span) {
    const auto micro = std::chrono::ceil<std::chrono::microseconds>(span).count();
    return {static_cast<time_t>(micro / 1'000'000), static_cast<suseconds_t>(micro % 1'000'000)};
  }

  SignalInterrupts alarm_{SIGALRM};  // made before the timer is set, and given back after
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

void print_unhandled_error_within_limit(const RuntimeError& error) {
  const int saved_errno = errno;
  const std::string text = unhandled_error_line(error) + "\n";
  std::string_view rest = text;
  const auto deadline = Clock::now() + error_line_limit;
  // Ignored, SIGXFSZ turns into the error EFBIG, and SIGTTOU lets a background job write to its
  // terminal instead of stopping it; SIGPIPE is ignored for the whole run
  // (keep_standard_streams_apart).
  const SignalAction file_too_large{SIGXFSZ, SIG_IGN};
  const SignalAction background_write{SIGTTOU, SIG_IGN};
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

}  // namespace pelvaro
