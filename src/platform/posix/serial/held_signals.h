#pragma once

#include <cstdint>

namespace pelvaro {

// Holds back, for as long as it lives, every signal that would end or stop the process from
// outside: ended or stopped while its tty is exclusive, pelvaro would leave the tty locked for
// every other user. Held back, they take effect as soon as the tty is given back, which its
// bounds make soon. Among them are SIGTTOU and SIGTTIN, so the kernel lets a process in the
// background of the port's own session set the line instead of stopping it.
//
// Not held back: SIGKILL and SIGSTOP, which cannot be; the faults of the process's own execution
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS), which the kernel delivers whatever the mask
// says; and signals whose default is to be ignored or to continue.
class SignalsHeldBack {
 public:
  SignalsHeldBack();
  SignalsHeldBack(const SignalsHeldBack&) = delete;
  SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;
  ~SignalsHeldBack();

 private:
  std::uint64_t held_ = 0;  // those that were not held back already, one bit each
};

}  // namespace pelvaro
