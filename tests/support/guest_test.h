#pragma once

// A test suite whose cases all read what one boot of a QEMU guest showed: the guest boots once,
// before the first case, and each case skips when no guest can be booted here.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/qemu_guest.h"

namespace pelvaro::testing {

// The whole boot, its runs and the power-off; a boot takes some 10 s under TCG (an arm64 virt one
// some 3 s, a raspi3b one some 10 s).
inline constexpr std::chrono::seconds guest_boot_limit{60};

// `Boot` boots the guest in run() and keeps what it printed in `result` and `console`; its init
// prints "guest-done" once every run is over.
template <typename Boot>
class GuestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A guest of another architecture runs programs built apart and says itself what it lacks.
    if constexpr (requires { Boot::unavailable(); }) {
      unavailable_ = Boot::unavailable();
    } else {
#ifdef PELVARO_GUEST_KERNEL_DIR
      unavailable_ = guest_unavailable(PELVARO_GUEST_KERNEL_DIR);
#endif
#ifdef PELVARO_SANITIZED
      unavailable_ = "the sanitizers' run-time is not brought into the guest; the plain build runs";
#endif
    }
    if (!unavailable_.empty()) return;
    boot_ = std::make_unique<Boot>();
    boot_->run();
  }
  static void TearDownTestSuite() {
    boot_.reset();
  }

  void SetUp() override {
    if (!unavailable_.empty()) GTEST_SKIP() << unavailable_;
    ASSERT_FALSE(boot_->result.timed_out)
        << "the guest did not power off within " << guest_boot_limit.count() << " s\n"
        << boot_->console;
    ASSERT_NE(boot_->console.find("guest-done"), std::string::npos) << boot_->console;
  }

  static inline std::string unavailable_;
  static inline std::unique_ptr<Boot> boot_;
};

}  // namespace pelvaro::testing
