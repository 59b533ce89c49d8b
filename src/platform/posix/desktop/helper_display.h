#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/window/window_protocol.h"
#include "runtime/forms_runtime.h"

namespace pelvaro {

// What the helper is told to show of `form`: its description and the list's selection, in UTF-8.
window_protocol::ShownWindow shown_window(Form& form);

// The desktop through the window helper: the window lives in the helper executable at `helper`
// (pelvaro-window), a process of its own (why: docs/design.md, "The window and its helper
// process"), and this process only tells it what to show and reads what happened, never waiting
// past `deadline` for the window to become active. A helper that cannot be started, dies, stalls or
// says anything malformed is given up (ended), and the run goes on as without a display. Returns
// nothing when the helper cannot be started at all.
std::unique_ptr<Display> start_window_helper(const std::string& helper,
                                             std::chrono::steady_clock::time_point deadline);

}  // namespace pelvaro
