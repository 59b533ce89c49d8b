#pragma once

#include <chrono>
#include <memory>

#include "runtime/forms_runtime.h"

namespace pelvaro {

// The longest the send waits on the desktop, counted from the start of the run: a window that is
// not active by then is not waited for, and the run goes on as without a display.
constexpr std::chrono::milliseconds desktop_deadline{1000};

// The display the window is shown on: the desktop when one can be reached, else none at all.
// `run_start` is when the run began, from which the desktop deadline counts.
std::unique_ptr<Display> open_display(std::chrono::steady_clock::time_point run_start);

}  // namespace pelvaro
