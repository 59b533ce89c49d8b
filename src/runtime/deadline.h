#pragma once

#include <chrono>
#include <limits>

namespace pelvaro {

// The whole milliseconds a wait may last and still not end before `deadline`, in the form the
// system calls that wait (poll, WaitForSingleObject, SetTimer) take: rounded up, none once the
// deadline has come, and never more than an int holds, which no such call reads as "for ever".
// Every bound of the program waits by this one rounding.
constexpr int milliseconds_left(std::chrono::steady_clock::time_point deadline,
                                std::chrono::steady_clock::time_point now) {
  if (deadline <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  constexpr auto most = std::numeric_limits<int>::max();
  return left < most ? static_cast<int>(left) : most;
}

inline int milliseconds_left(std::chrono::steady_clock::time_point deadline) {
  return milliseconds_left(deadline, std::chrono::steady_clock::now());
}

}  // namespace pelvaro
