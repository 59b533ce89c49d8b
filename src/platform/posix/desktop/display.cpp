#include "platform/display.h"

#include <string>

#include "platform/executable_path.h"
#include "platform/posix/desktop/headless_display.h"
#include "platform/posix/desktop/helper_display.h"
#include "platform/posix/desktop/x_probe.h"
#include "platform/posix/error_stream.h"
#include "platform/text_encoding.h"

namespace pelvaro {

namespace {

constexpr const char* window_helper_name = "pelvaro-window";

// The window helper beside the executable, or nothing when the executable's folder is unknown.
std::unique_ptr<Display> start_helper_beside_executable(
    std::chrono::steady_clock::time_point deadline) {
  std::string path;
  try {
    path = to_ansi(executable_directory()) + "/" + window_helper_name;
  } catch (const RuntimeError&) {
    return nullptr;  // no helper to be found: the run goes on without a window
  }
  return start_window_helper(path, deadline);
}

}  // namespace

std::unique_ptr<Display> open_display(std::chrono::steady_clock::time_point run_start) {
  const auto deadline = run_start + desktop_deadline;
  if (x_server_answers(deadline)) {
    if (auto display = start_helper_beside_executable(deadline)) return display;
  }
  return std::make_unique<HeadlessDisplay>();
}

}  // namespace pelvaro
