// window-preview: shows the main window on the X display and keeps it open until it is closed,
// without acting on its activation or clicks, for screenshots. Usage: window-preview [CHOICE]

#include <memory>
#include <string>

#include <X11/Xlib.h>

#include "app/main_window.h"
#include "platform/fltk/fltk_display.h"
#include "platform/text_encoding.h"
#include "serial/comm_control.h"

int main(int argc, char** argv) {
  using namespace pelvaro;
  ::Display* connection = XOpenDisplay(nullptr);
  if (!connection) return 1;
  FltkDisplay display{connection};
  frovan window{Application{[] { return std::u16string{}; }, u'/'},
                std::make_unique<CommControl>(open_serial_port)};
  window.com.set_text(from_ansi(argc > 1 ? argv[1] : "3"));
  display.show(window);
  while (display.next_event().kind != FormEventKind::closed) {
  }
  return 0;
}
