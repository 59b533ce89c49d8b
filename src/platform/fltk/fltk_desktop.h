#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/window/window_protocol.h"

typedef struct _XDisplay Display;  // Xlib's, so that this header needs no X header

namespace pelvaro {

class FltkWindow;
class ErrorReportBox;

// What the window helper shows on its X display through FLTK: the program's window and its error
// report. It tells the program "active" only once the window is drawn (and the drawing has reached
// the server) and has the input focus, which it asks for itself, as without a window manager
// nobody hands it over; "report shown" once the report's box is drawn.
class FltkDesktop {
 public:
  using EventSink = std::function<void(window_protocol::Event)>;

  // Takes over an open connection to the X server.
  FltkDesktop(Display* connection, EventSink sink);
  FltkDesktop(const FltkDesktop&) = delete;
  FltkDesktop& operator=(const FltkDesktop&) = delete;
  ~FltkDesktop();

  void show(const window_protocol::ShownWindow& window);
  void report(const std::string& text);
  // To be called after each turn of the toolkit's event loop: draws what is due and tells the
  // program what has become visible.
  void after_events();

  // The X window of the shown window, or 0.
  unsigned long shown_window() const;

 private:
  static int on_x_event(void* event, void* desktop);
  static void ask_for_focus(unsigned long window);

  EventSink sink_;
  float dots_per_inch_;
  std::unique_ptr<FltkWindow> window_;
  std::unique_ptr<ErrorReportBox> report_;
  bool focus_requested_ = false;
  bool focused_ = false;
  bool activated_ = false;
  bool report_shown_ = false;
  bool report_focus_requested_ = false;
};

}  // namespace pelvaro
