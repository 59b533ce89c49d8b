#include <chrono>
#include <memory>

#include "app/main_window.h"
#include "platform/display.h"
#include "platform/executable_path.h"
#include "platform/standard_streams.h"
#include "runtime/forms_runtime.h"
#include "serial/comm_control.h"

int main() {
  using namespace pelvaro;
  keep_standard_streams_apart();
  const auto started = std::chrono::steady_clock::now();
  frovan form{Application{executable_directory, path_separator()},
              std::make_unique<CommControl>(open_serial_port)};
  const std::unique_ptr<Display> display = open_display(started);
  return static_cast<int>(run_forms_application(form, *display));
}
