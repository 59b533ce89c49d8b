#include "platform/fltk/fltk_display.h"

#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <FL/x.H>

#include "platform/fltk/fltk_options.h"
#include "platform/fltk/fltk_window.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;

constexpr float fallback_dots_per_inch = 96.0f;

float screen_dots_per_inch() {
  float horizontal = 0;
  float vertical = 0;
  Fl::screen_dpi(horizontal, vertical);
  return horizontal > 1 ? horizontal : fallback_dots_per_inch;
}

double seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// Xlib ends the process when the connection to the server breaks, and so does FLTK's own handler.
// A display that goes away is no reason not to send: the loss is noted and the run goes on.
int ignore_lost_connection(::Display*) {
  return 0;
}

}  // namespace

FltkDisplay::FltkDisplay(::Display* connection) {
  use_default_fltk_options();
  fl_open_display(connection);
  XSetIOErrorHandler(ignore_lost_connection);
  XSetIOErrorExitHandler(connection, on_lost_connection, this);
  Fl::add_system_handler(on_x_event, this);
}

FltkDisplay::~FltkDisplay() {
  Fl::remove_system_handler(on_x_event);
  window_.reset();
  fl_close_display();
}

void FltkDisplay::show(Form& form) {
  window_ = std::make_unique<FltkWindow>(form, screen_dots_per_inch(),
                                         [this](FormEvent event) { queue(event); });
  window_->xclass("pelvaro");
  window_->show();
  shown_at_ = Clock::now();
}

unsigned long FltkDisplay::shown_window() const {
  return window_ && window_->shown() ? fl_xid(window_.get()) : 0;
}

int FltkDisplay::on_x_event(void* event, void* display) {
  auto& self = *static_cast<FltkDisplay*>(display);
  const XEvent& x = *static_cast<const XEvent*>(event);
  const unsigned long window = self.shown_window();
  if (window == 0 || x.xany.window != window) return 0;
  if (x.type == Expose && !self.focus_requested_) {
    self.ask_for_focus();  // the first exposure: the window is viewable now
  } else if (x.type == FocusIn && x.xfocus.detail != NotifyPointer && !self.activated_) {
    self.activated_ = true;
    self.queue({FormEventKind::activated, {}});
  }
  return 0;  // FLTK handles the event as usual
}

void FltkDisplay::ask_for_focus() {
  focus_requested_ = true;
  const Window window = fl_xid(window_.get());
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

void FltkDisplay::on_lost_connection(::Display*, void* display) {
  static_cast<FltkDisplay*>(display)->connection_lost_ = true;
}

FormEvent FltkDisplay::next_event() {
  if (!window_) return {FormEventKind::closed, {}};
  while (events_.empty()) {
    if (connection_lost_) {
      if (activated_) return {FormEventKind::closed, {}};
      activated_ = true;  // the window is gone with its display: the run goes on without it
      return {FormEventKind::activated, {}};
    }
    if (activated_) {
      if (!window_->shown()) return {FormEventKind::closed, {}};
      Fl::wait();
      continue;
    }
    const auto left = shown_at_ + activation_limit - Clock::now();
    if (left <= Clock::duration::zero()) {
      activated_ = true;  // no focus came: the run goes on all the same
      return {FormEventKind::activated, {}};
    }
    Fl::wait(seconds(left));
  }
  const FormEvent event = events_.front();
  events_.pop_front();
  return event;
}

void FltkDisplay::report_unhandled_error(const RuntimeError& error) {
  print_unhandled_error(error);
  if (connection_lost_) return;
  fl_message_title("pelvaro");
  fl_alert("%s", error_report_text(error).c_str());
}

}  // namespace pelvaro
