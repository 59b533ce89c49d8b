#include "platform/posix/signal_action.h"

namespace pelvaro {

namespace {

sigset_t only(int signal) {
  sigset_t set{};
  sigemptyset(&set);
  sigaddset(&set, signal);
  return set;
}

void do_nothing(int) {}

}  // namespace

SignalAction::SignalAction(int signal, void (*handler)(int)) : signal_(signal) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: an interrupted call returns
  ::sigaction(signal_, &action, &previous_);
}

SignalAction::~SignalAction() {
  ::sigaction(signal_, &previous_, nullptr);
}

SignalInterrupts::SignalInterrupts(int signal) : signal_(signal), action_(signal, do_nothing) {
  const sigset_t signal_only = only(signal_);
  sigset_t previous_mask{};
  ::sigprocmask(SIG_UNBLOCK, &signal_only, &previous_mask);
  was_blocked_ = sigismember(&previous_mask, signal_) == 1;
}

SignalInterrupts::~SignalInterrupts() {
  if (!was_blocked_) return;
  const sigset_t signal_only = only(signal_);
  ::sigprocmask(SIG_BLOCK, &signal_only, nullptr);
}

}  // namespace pelvaro
