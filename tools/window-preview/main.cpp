// window-preview: shows the main window on the X display, through the window helper, and keeps it
// open until it is closed, without acting on its activation or clicks, for screenshots.
// Usage: window-preview [CHOICE]

#include <chrono>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "platform/posix/desktop/helper_display.h"
#include "platform/text_encoding.h"
#include "serial/comm_control.h"

int main(int argc, char** argv) {
  using namespace pelvaro;
  const auto patience = std::chrono::steady_clock::now() + std::chrono::minutes{1};
  const auto display = start_window_helper(PELVARO_WINDOW_HELPER, patience);
  if (!display) return 1;
  frovan window{Application{[] { return std::u16string{}; }, u'/'},
                std::make_unique<CommControl>(open_serial_port)};
  window.com.set_text(from_ansi(argc > 1 ? argv[1] : "3"));
  display->show(window);
  while (display->next_event().kind != FormEventKind::closed) {
  }
  return 0;
}
