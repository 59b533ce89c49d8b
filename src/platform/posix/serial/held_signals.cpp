#include "platform/posix/serial/held_signals.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace pelvaro {

namespace {

// The kernel's mask, one bit per signal. It is changed with the system call itself: the C
// library's sigprocmask leaves out signals 32 and 33, which it keeps for its threads, and one of
// those from outside would end this single-threaded process like any real-time signal.
using KernelSignalMask = std::uint64_t;
static_assert(NSIG - 1 <= 64, "one bit for each of the kernel's signals");

constexpr KernelSignalMask bit_of(int signal) {
  return KernelSignalMask{1} << (signal - 1);
}

// Those that end the process by default, less the faults of its own execution, and those that
// stop it by default, less SIGSTOP.
constexpr std::initializer_list<int> ending_or_stopping = {
    SIGHUP,  SIGINT,  SIGQUIT,   SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGTSTP, SIGTTIN, SIGTTOU};

// The kernel's real-time signals, from its first (below the C library's SIGRTMIN) to its last.
constexpr int first_realtime_signal = 32;

KernelSignalMask held_back_set() {
  KernelSignalMask set = 0;
  for (const int signal : ending_or_stopping) set |= bit_of(signal);
  for (int signal = first_realtime_signal; signal < NSIG; ++signal) set |= bit_of(signal);
  return set;
}

KernelSignalMask change_mask(int how, KernelSignalMask set) {
  KernelSignalMask before = 0;
  ::syscall(SYS_rt_sigprocmask, how, &set, &before, sizeof set);
  return before;
}

}  // namespace

SignalsHeldBack::SignalsHeldBack() {
  const KernelSignalMask wanted = held_back_set();
  held_ = wanted & ~change_mask(SIG_BLOCK, wanted);
}

SignalsHeldBack::~SignalsHeldBack() {
  const int saved = errno;
  change_mask(SIG_UNBLOCK, held_);
  errno = saved;
}

}  // namespace pelvaro
