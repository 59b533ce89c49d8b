#include "platform/fltk/fltk_desktop.h"

#include <FL/Fl.H>
#include <FL/x.H>

#include "platform/fltk/error_report_box.h"
#include "platform/fltk/fltk_options.h"
#include "platform/fltk/fltk_window.h"

namespace pelvaro {

namespace {

using window_protocol::Event;
using window_protocol::EventKind;

constexpr float fallback_dots_per_inch = 96.0f;

float screen_dots_per_inch() {
  float horizontal = 0;
  float vertical = 0;
  Fl::screen_dpi(horizontal, vertical);
  return horizontal > 1 ? horizontal : fallback_dots_per_inch;
}

}  // namespace

FltkDesktop::FltkDesktop(Display* connection, EventSink sink) : sink_(std::move(sink)) {
  use_default_fltk_options();
  fl_open_display(connection);
  dots_per_inch_ = screen_dots_per_inch();
  Fl::add_system_handler(on_x_event, this);
}

FltkDesktop::~FltkDesktop() {
  Fl::remove_system_handler(on_x_event);
  report_.reset();
  window_.reset();
  fl_close_display();
}

void FltkDesktop::show(const window_protocol::ShownWindow& window) {
  window_ = std::make_unique<FltkWindow>(window, dots_per_inch_, sink_);
  window_->xclass("pelvaro");
  window_->show();
}

void FltkDesktop::report(const std::string& text) {
  report_ = std::make_unique<ErrorReportBox>(text, dots_per_inch_, [this] {
    sink_(Event{EventKind::report_dismissed, 0});
  });
  report_->xclass("pelvaro");
  report_->show();
}

unsigned long FltkDesktop::shown_window() const {
  return window_ && window_->shown() ? fl_xid(window_.get()) : 0;
}

int FltkDesktop::on_x_event(void* event, void* desktop) {
  auto& self = *static_cast<FltkDesktop*>(desktop);
  const XEvent& x = *static_cast<const XEvent*>(event);
  const unsigned long window = self.shown_window();
  if (self.report_ && self.report_->shown() && x.xany.window == fl_xid(self.report_.get())) {
    if (x.type == Expose && !self.report_focus_requested_) {
      self.report_focus_requested_ = true;
      ask_for_focus(x.xany.window);  // so that a key press dismisses it
    }
    return 0;
  }
  if (window == 0 || x.xany.window != window) return 0;
  if (x.type == Expose && !self.focus_requested_) {
    self.focus_requested_ = true;
    ask_for_focus(window);  // the first exposure: the window is viewable now
  } else if (x.type == FocusIn && x.xfocus.detail != NotifyPointer) {
    self.focused_ = true;
  }
  return 0;  // FLTK handles the event as usual
}

void FltkDesktop::ask_for_focus(unsigned long window) {
  // A window manager that follows the desktop conventions is asked to activate the window ...
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = window;
  request.xclient.message_type = XInternAtom(fl_display, "_NET_ACTIVE_WINDOW", False);
  request.xclient.format = 32;
  request.xclient.data.l[0] = 1;  // the request comes from an application
  request.xclient.data.l[1] = CurrentTime;
  XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &request);
  // ... and where there is none, nobody hands out the focus: the window takes it.
  XSetInputFocus(fl_display, window, RevertToParent, CurrentTime);
  XFlush(fl_display);
}

void FltkDesktop::after_events() {
  Fl::flush();
  const bool window_ready = window_ && !activated_ && focused_ && window_->drawn();
  const bool report_ready = report_ && !report_shown_ && report_->drawn();
  if (!window_ready && !report_ready) return;
  XSync(fl_display, False);  // what was drawn has reached the screen
  if (window_ready) {
    activated_ = true;
    sink_(Event{EventKind::active, 0});
  }
  if (report_ready) {
    report_shown_ = true;
    sink_(Event{EventKind::report_shown, 0});
  }
}

}  // namespace pelvaro
