#pragma once

#include <FL/Fl_Double_Window.H>

#include <functional>
#include <memory>
#include <vector>

#include "platform/window/window_protocol.h"

class Fl_Widget;

namespace pelvaro {

// A window built from its description: a push button for each button, a drop-down list for the
// list, nothing for controls that are invisible at run time. What a person does in it goes to the
// sink as the channel's events.
class FltkWindow final : public Fl_Double_Window {
 public:
  using EventSink = std::function<void(window_protocol::Event)>;

  FltkWindow(const window_protocol::ShownWindow& shown, float dots_per_inch, EventSink sink);
  ~FltkWindow() override;

  // Whether the window has been drawn at least once since it was shown.
  bool drawn() const { return drawn_; }

 protected:
  void draw() override;

 private:
  void add_control(const window_protocol::ShownControl& control, int index,
                   const std::vector<std::string>& choices, int selected, float dots_per_inch);
  static void on_button(Fl_Widget* button, void* window);
  static void on_list(Fl_Widget* list, void* window);
  static void on_close(Fl_Widget* window, void*);

  EventSink sink_;
  bool drawn_ = false;
  // The window holds its widgets only for drawing and events; they are owned here.
  struct IndexedWidget {
    std::unique_ptr<Fl_Widget> widget;
    int index;  // of its control in the description
  };
  std::vector<IndexedWidget> widgets_;
};

}  // namespace pelvaro
