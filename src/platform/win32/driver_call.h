#pragma once

#include <windows.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace pelvaro {

// How long a call that outlived its limit is given to return once it has been cancelled.
inline constexpr std::chrono::milliseconds cancel_grace{100};

// Runs `work` on a thread of its own and waits at most `limit` for it to return. A driver can keep
// a thread inside a call for as long as it likes (an adapter that stopped answering, a port that
// connects to its device while it is opened); the caller stops waiting at the limit, cancels the
// thread's synchronous I/O and, when `device` is given, every I/O on it, and waits `cancel_grace`
// more. A call that has not returned even then is left to the driver: it keeps `work`, and with
// it everything `work` owns, for as long as it runs.
// Returns ERROR_SUCCESS once `work` has returned, ERROR_TIMEOUT if it was left, or why no thread
// could be started for it.
DWORD run_within(std::chrono::milliseconds limit, HANDLE device, std::function<void()> work);

// `call`'s result, or nothing if it did not return in time or could not be started (GetLastError
// then tells which). What `call` throws is thrown here. `call` must own whatever it uses (capture
// by value): a call that is left returns only after its caller has moved on, and its result then
// goes with it.
template <class Call>
std::optional<std::invoke_result_t<Call&>> call_within(std::chrono::milliseconds limit,
                                                       HANDLE device, Call call) {
  using Result = std::invoke_result_t<Call&>;
  struct Outcome {
    std::optional<Result> value;
    std::exception_ptr error;
  };
  auto outcome = std::make_shared<Outcome>();
  const DWORD ended = run_within(limit, device, [outcome, call = std::move(call)]() mutable {
    try {
      outcome->value.emplace(call());
    } catch (...) {
      outcome->error = std::current_exception();
    }
  });
  if (ended != ERROR_SUCCESS) {
    SetLastError(ended);
    return std::nullopt;
  }
  if (outcome->error) std::rethrow_exception(outcome->error);
  return std::move(outcome->value);
}

}  // namespace pelvaro
