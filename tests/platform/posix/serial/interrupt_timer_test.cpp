// The one timer of a port's life against a pipe nobody writes to: waiting on it ends only when a
// signal interrupts the wait, as a driver's wait does.

#include "platform/posix/serial/interrupt_timer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

namespace pelvaro {
namespace {

using namespace std::chrono_literals;
using Clock = InterruptTimer::Clock;
using Bound = InterruptTimer::Bound;

class InterruptTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe2(ends_, O_CLOEXEC), 0); }
  void TearDown() override {
    ::close(ends_[0]);
    ::close(ends_[1]);
  }

  // Waits for the pipe, for 3 s at most; true if the timer's signal interrupted the wait.
  bool interrupted() {
    pollfd pipe{ends_[0], POLLIN, 0};
    return ::poll(&pipe, 1, 3000) == -1 && errno == EINTR;
  }

 private:
  int ends_[2] = {-1, -1};
};

TEST_F(InterruptTimerTest, AnInnerBoundInterruptsAtItsDeadlineThenTheOuterOneHoldsAgain) {
  InterruptTimer timer;
  const auto start = Clock::now();
  const Bound outer{timer, start + 300ms};
  {
    const Bound inner{timer, start + 30ms};
    ASSERT_TRUE(inner.armed());
    EXPECT_TRUE(interrupted());
    EXPECT_TRUE(inner.passed());
  }
  // Not the inner bound's repeats, nor nothing at all: the outer deadline.
  EXPECT_FALSE(outer.passed());
  EXPECT_TRUE(interrupted());
  EXPECT_TRUE(outer.passed());
}

TEST_F(InterruptTimerTest, AnInnerBoundLaterThanTheOuterOneEndsAtTheOuterDeadline) {
  InterruptTimer timer;
  const auto start = Clock::now();
  const Bound outer{timer, start + 30ms};
  const Bound inner{timer, start + 10s};
  EXPECT_TRUE(interrupted());
  EXPECT_TRUE(outer.passed());
  EXPECT_FALSE(inner.passed());
}

TEST_F(InterruptTimerTest, AMovedDeadlineIsTheOneThatInterrupts) {
  InterruptTimer timer;
  const auto start = Clock::now();
  Bound bound{timer, start + 10s};
  bound.move_deadline(start + 30ms);
  EXPECT_TRUE(interrupted());
  EXPECT_TRUE(bound.passed());
}

TEST_F(InterruptTimerTest, LeavesTheSignalAsItFoundIt) {
  struct sigaction before {};
  ::sigaction(SIGURG, nullptr, &before);
  sigset_t blocked{};
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGURG);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);  // as a parent may hand it down
  {
    InterruptTimer timer;
    const Bound bound{timer, Clock::now() + 30ms};
    EXPECT_TRUE(interrupted());  // unblocked for the wait
  }
  struct sigaction after {};
  ::sigaction(SIGURG, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  sigset_t now{};
  ::sigprocmask(SIG_UNBLOCK, &blocked, &now);
  EXPECT_TRUE(sigismember(&now, SIGURG));
}

}  // namespace
}  // namespace pelvaro
