#include "platform/posix/serial/interrupt_timer.h"

#include <algorithm>
#include <cerrno>

namespace pelvaro {

namespace {

constexpr int interrupt_signal = SIGURG;

// After the deadline the timer goes on firing this often, so that a signal landing just before
// the call it was meant for cannot leave that call unbounded.
constexpr std::chrono::milliseconds repeat_interval{10};

timespec as_timespec(std::chrono::nanoseconds span) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

}  // namespace

InterruptTimer::Bound::Bound(InterruptTimer& timer, Clock::time_point deadline)
    : timer_(timer), outer_(timer.innermost_), deadline_(deadline), fires_at_(fires_at()) {
  timer_.innermost_ = this;
  if (!timer_.made_) timer_.make();
  if (timer_.made_) timer_.arm(fires_at_);
}

void InterruptTimer::Bound::move_deadline(Clock::time_point deadline) {
  deadline_ = deadline;
  fires_at_ = fires_at();
  if (timer_.made_ && timer_.innermost_ == this) timer_.arm(fires_at_);
}

InterruptTimer::Clock::time_point InterruptTimer::Bound::fires_at() const {
  return outer_ ? std::min(deadline_, outer_->fires_at_) : deadline_;
}

InterruptTimer::Bound::~Bound() {
  timer_.innermost_ = outer_;
  if (!timer_.made_) return;
  if (outer_) {
    timer_.arm(outer_->fires_at_);
  } else {
    timer_.disarm();
  }
}

void InterruptTimer::make() {
  interrupts_.emplace(interrupt_signal);
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = interrupt_signal;
  made_ = ::timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
  if (made_) {
    refusal_ = 0;
    return;
  }
  refusal_ = errno;
  interrupts_.reset();
}

InterruptTimer::~InterruptTimer() {
  if (made_) ::timer_delete(timer_);  // before the signal's action and mask are given back
}

void InterruptTimer::arm(Clock::time_point when) {
  itimerspec setting{};
  setting.it_value = as_timespec(std::max(std::chrono::nanoseconds{1}, when - Clock::now()));
  setting.it_interval = as_timespec(repeat_interval);
  ::timer_settime(timer_, 0, &setting, nullptr);
}

void InterruptTimer::disarm() {
  const itimerspec stopped{};
  ::timer_settime(timer_, 0, &stopped, nullptr);
}

}  // namespace pelvaro
