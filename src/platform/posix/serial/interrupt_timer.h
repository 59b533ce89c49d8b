#pragma once

#include <signal.h>
#include <time.h>

#include <chrono>
#include <optional>

#include "platform/posix/signal_action.h"

namespace pelvaro {

// Interrupts a blocking call on the port with a signal once its deadline has passed: a wait that
// only the driver or another program can end (the driver's open and settings calls, the advisory
// lock, tcdrain, the drain inside close) is thereby bounded without a thread. (The error line on
// standard error has a timer of its own: error_stream.cpp.) One timer serves every bound of its owner's life: it is
// made at the first bound, each bound arms it, and it goes, with the signal's action and mask as
// they were, when its owner does.
//
// The signal is SIGURG: ignored by default, so one sent from elsewhere outside a wait does
// nothing, and SIGALRM is left to be held back with the other signals that end a program. Its
// action does nothing and does not restart calls, so the interrupted call returns EINTR.
class InterruptTimer {
 public:
  using Clock = std::chrono::steady_clock;

  InterruptTimer() = default;
  InterruptTimer(const InterruptTimer&) = delete;
  InterruptTimer& operator=(const InterruptTimer&) = delete;
  ~InterruptTimer();

  // A deadline for as long as it lives. Bounds nest: an inner one interrupts at its own deadline
  // or the outer one's, whichever is first, and when it ends the outer deadline holds again.
  class Bound {
   public:
    Bound(InterruptTimer& timer, Clock::time_point deadline);
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound();

    // False when no timer could be had: the wait it was to bound must not be started.
    bool armed() const { return timer_.made_; }
    // Why no timer could be had: timer_create's error number.
    int refusal() const { return timer_.refusal_; }
    bool passed() const { return Clock::now() >= deadline_; }

    // Moves the deadline of the innermost bound, in one step rather than one bound ending and
    // another beginning.
    void move_deadline(Clock::time_point deadline);

   private:
    Clock::time_point fires_at() const;

    InterruptTimer& timer_;
    const Bound* outer_;
    Clock::time_point deadline_;
    Clock::time_point fires_at_;  // the earlier of this deadline and the outer bound's
  };

 private:
  void make();
  void arm(Clock::time_point when);
  void disarm();

  const Bound* innermost_ = nullptr;
  bool made_ = false;
  int refusal_ = 0;  // timer_create's error number, when it refused the last time
  std::optional<SignalInterrupts> interrupts_;  // while the timer is made
  timer_t timer_{};
};

}  // namespace pelvaro
