#pragma once

#include <signal.h>

namespace pelvaro {

// Gives `signal` the action `handler` for as long as it lives, without SA_RESTART, and gives the
// action it had before back when it goes.
class SignalAction {
 public:
  SignalAction(int signal, void (*handler)(int));
  SignalAction(const SignalAction&) = delete;
  SignalAction& operator=(const SignalAction&) = delete;
  ~SignalAction();

 private:
  int signal_;
  struct sigaction previous_ {};
};

// For as long as it lives, `signal` does nothing but interrupt the call the process waits in,
// which then returns EINTR: its action does nothing, and it is let through the signal mask. When
// it goes, the signal's action and its own place in the mask are as they were; other signals
// held back meanwhile stay so.
class SignalInterrupts {
 public:
  explicit SignalInterrupts(int signal);
  SignalInterrupts(const SignalInterrupts&) = delete;
  SignalInterrupts& operator=(const SignalInterrupts&) = delete;
  ~SignalInterrupts();

 private:
  int signal_;
  SignalAction action_;
  bool was_blocked_ = false;
};

}  // namespace pelvaro
