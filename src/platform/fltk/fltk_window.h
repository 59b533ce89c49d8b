#pragma once

#include <FL/Fl_Double_Window.H>

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "runtime/forms_runtime.h"

class Fl_Widget;

namespace pelvaro {

// A form's window, built from its description: a push button for each button, a drop-down list
// for the list, nothing for controls that are invisible at run time.
class FltkWindow final : public Fl_Double_Window {
 public:
  using EventSink = std::function<void(FormEvent)>;

  FltkWindow(Form& form, float dots_per_inch, EventSink sink);
  ~FltkWindow() override;

 private:
  void add_control(const ControlDescription& control, float dots_per_inch);
  static void on_button(Fl_Widget* button, void* window);
  static void on_list(Fl_Widget* list, void* window);
  static void on_close(Fl_Widget* window, void*);

  Form& form_;
  EventSink sink_;
  // The window holds its widgets only for drawing and events; they are owned here.
  struct NamedWidget {
    std::unique_ptr<Fl_Widget> widget;
    std::string_view name;  // of its control in the window description
  };
  std::vector<NamedWidget> widgets_;
};

}  // namespace pelvaro
