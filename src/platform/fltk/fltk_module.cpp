// The display module, loaded only when an X display can be reached, so that a run without one
// never loads the toolkit or X libraries.

#include <FL/x.H>

#include <memory>

#include "platform/fltk/fltk_display.h"

extern "C" void pelvaro_open_display(std::unique_ptr<pelvaro::Display>* display) {
  ::Display* connection = XOpenDisplay(nullptr);
  if (connection) *display = std::make_unique<pelvaro::FltkDisplay>(connection);
}
