#pragma once

#include <chrono>

#include "runtime/runtime_error.h"

namespace pelvaro {

// The longest the unhandled-error report waits to write its line on standard error.
constexpr std::chrono::milliseconds error_line_limit{1000};

// Writes the unhandled-error report's line and a line end to standard error within
// error_line_limit, and gives up on what is left then. A full pipe nobody reads, a stopped
// terminal, a file at its size limit, a stream whose reader has gone or a background job's
// terminal can neither hold the run up for longer nor end or stop it by a signal.
void print_unhandled_error_within_limit(const RuntimeError& error);

}  // namespace pelvaro
