// Calls run against a bound on a thread of their own, under the real Windows API: calls that
// return, calls that the system can cancel, and a call that nothing ends until long after.

#include "platform/win32/driver_call.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/win32/win_handle.h"
#include "runtime/runtime_error.h"
#include "support/error_number.h"

namespace pelvaro {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds limit{200};
// Past the limit and the cancel's grace: how late a caller may get its answer on a busy machine.
constexpr milliseconds slack{400};

using SharedHandle = std::shared_ptr<WinHandle>;

SharedHandle shared_event() {
  return std::make_shared<WinHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// A pipe with nothing ever written into it: a read from it waits until it is cancelled.
struct SilentPipe {
  SharedHandle reading;
  SharedHandle writing;
};

SilentPipe anonymous_pipe() {
  HANDLE reading = nullptr;
  HANDLE writing = nullptr;
  EXPECT_TRUE(CreatePipe(&reading, &writing, nullptr, 0));
  return {std::make_shared<WinHandle>(reading), std::make_shared<WinHandle>(writing)};
}

SilentPipe overlapped_pipe() {
  const std::wstring name =
      L"\\\\.\\pipe\\pelvaro-driver-call-" + std::to_wstring(GetCurrentProcessId());
  HANDLE reading = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
  HANDLE writing = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reading, INVALID_HANDLE_VALUE);
  EXPECT_NE(writing, INVALID_HANDLE_VALUE);
  return {std::make_shared<WinHandle>(reading), std::make_shared<WinHandle>(writing)};
}

// Runs `read` against the limit and expects it cancelled at the limit, and the caller answered
// soon after.
template <class Read>
void expect_cancelled_at_the_limit(HANDLE device, Read read) {
  const auto start = Clock::now();
  const auto error = call_within(limit, device, read);
  EXPECT_LT(Clock::now() - start, limit + cancel_grace + slack);
  EXPECT_EQ(error, std::optional<DWORD>{ERROR_OPERATION_ABORTED});
}

TEST(CallWithin, GivesTheCallsResultOrWhatItThrew) {
  EXPECT_EQ(call_within(limit, nullptr, [] { return std::string{"answered"}; }), "answered");
  EXPECT_EQ(testing::error_number_of([] {
              call_within(limit, nullptr,
                          []() -> int { throw RuntimeError{ErrorNumber::device_unavailable}; });
            }),
            ErrorNumber::device_unavailable);
}

TEST(CallWithin, CancelsASynchronousReadAtTheLimit) {
  const SilentPipe pipe = anonymous_pipe();
  expect_cancelled_at_the_limit(nullptr, [pipe] {
    char byte = 0;
    DWORD read = 0;
    return ReadFile(pipe.reading->get(), &byte, 1, &read, nullptr) ? DWORD{0} : GetLastError();
  });
}

// A settings call on a port opened for overlapped I/O waits inside the system for an I/O on the
// port's handle: cancelling the thread's synchronous I/O does not reach it, cancelling the
// handle's does.
TEST(CallWithin, CancelsTheDevicesIoAtTheLimit) {
  const SilentPipe pipe = overlapped_pipe();
  const SharedHandle done = shared_event();
  expect_cancelled_at_the_limit(pipe.reading->get(), [pipe, done] {
    char byte = 0;
    DWORD read = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = done->get();
    if (!ReadFile(pipe.reading->get(), &byte, 1, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return GetLastError();
    }
    return GetOverlappedResult(pipe.reading->get(), &overlapped, &read, TRUE) ? DWORD{0}
                                                                              : GetLastError();
  });
}

// A driver may hold a call past any cancel. The caller moves on at the bound; the call keeps what
// it owns and returns later into nothing that has gone.
TEST(CallWithin, LeavesACallThatNothingEndsAndSurvivesItsLateReturn) {
  const SharedHandle go_on = shared_event();
  const SharedHandle returned = shared_event();
  const auto start = Clock::now();
  const auto result = call_within(limit, nullptr, [go_on, returned] {
    WaitForSingleObject(go_on->get(), INFINITE);
    std::string late(1000, 'x');  // moved into a result that nobody waits for any more
    SetEvent(returned->get());
    return late;
  });
  const DWORD why = GetLastError();
  EXPECT_LT(Clock::now() - start, limit + cancel_grace + slack);
  EXPECT_FALSE(result.has_value());
  EXPECT_EQ(why, static_cast<DWORD>(ERROR_TIMEOUT));
  SetEvent(go_on->get());
  EXPECT_EQ(WaitForSingleObject(returned->get(), 5000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace pelvaro
