#pragma once

#include <chrono>
#include <deque>
#include <memory>

#include "runtime/forms_runtime.h"

typedef struct _XDisplay Display;

namespace pelvaro {

class FltkWindow;

// Shows forms on an X display through FLTK. Activation is the window receiving the input focus;
// the window asks for the focus itself, as without a window manager nobody hands it over, and
// activation is delivered after a short while even if the focus never comes.
class FltkDisplay final : public pelvaro::Display {
 public:
  // Takes over an open connection to the X server.
  explicit FltkDisplay(::Display* connection);
  ~FltkDisplay() override;

  void show(Form& form) override;
  FormEvent next_event() override;
  void report_unhandled_error(const RuntimeError& error) override;

  // The X window of the shown form, or 0.
  unsigned long shown_window() const;

  // How long a shown window waits for the focus before it counts as active anyway.
  static constexpr std::chrono::milliseconds activation_limit{1000};

 private:
  static int on_x_event(void* event, void* display);
  static void on_lost_connection(::Display* connection, void* display);
  void queue(FormEvent event) { events_.push_back(event); }
  void ask_for_focus();

  std::unique_ptr<FltkWindow> window_;
  std::deque<FormEvent> events_;
  std::chrono::steady_clock::time_point shown_at_;
  bool activated_ = false;
  bool focus_requested_ = false;
  bool connection_lost_ = false;
};

}  // namespace pelvaro
