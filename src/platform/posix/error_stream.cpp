#include "platform/posix/error_stream.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/posix/interrupt_timer.h"
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

int milliseconds_left(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until standard error takes output: a descriptor that another process made non-blocking
// must not spin, and should the timer be refused, a full pipe or a stopped terminal is not written
// to at all. False once the time is up or the stream can take nothing any more.
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
  InterruptTimer timer;  // its own: the line is written once, whatever else the run holds
  const InterruptTimer::Bound write_bound{timer, deadline};
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
