// window-preview for Windows: shows the main window with the system's own controls and keeps it
// open until it is closed, without acting on its activation or clicks, for screenshots (under
// Wine). Usage: window-preview [CHOICE]

#include <chrono>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "platform/display.h"
#include "platform/text_encoding.h"
#include "serial/comm_control.h"

int main(int argc, char** argv) {
  using namespace pelvaro;
  const std::unique_ptr<Display> display = open_display(std::chrono::steady_clock::now());
  frovan window{Application{[] { return std::u16string{}; }, u'\\'},
                std::make_unique<CommControl>(open_serial_port)};
  window.com.set_text(from_ansi(argc > 1 ? argv[1] : "3"));
  display->show(window);
  while (display->next_event().kind != FormEventKind::closed) {
  }
  return 0;
}
