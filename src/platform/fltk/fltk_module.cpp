// The display module, loaded only when an X display can be reached, so that a run without one
// never loads the toolkit or X libraries.

#include <FL/x.H>

#include <memory>

#include "platform/fltk/fltk_display.h"

// No exception leaves: the module and the executable each have their own C++ runtime. A display
// that cannot be opened leaves `display` empty, and the program runs without a window.
extern "C" void pelvaro_open_display(std::unique_ptr<pelvaro::Display>* display) noexcept {
  try {
    ::Display* connection = XOpenDisplay(nullptr);
    if (connection) *display = std::make_unique<pelvaro::FltkDisplay>(connection);
  } catch (...) {
    display->reset();
  }
}
