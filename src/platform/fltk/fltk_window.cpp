#include "platform/fltk/fltk_window.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>

#include <algorithm>
#include <cmath>

namespace pelvaro {

namespace {

using window_protocol::Event;
using window_protocol::EventKind;

// The classic dialog font of Windows forms is 8 points; the list's is smaller, so that its widest
// choice, "KAPALI", shows whole in its 57 pixels beside its button.
constexpr float control_font_points = 8.0f;
constexpr float list_font_points = 7.0f;

int font_pixels(float dots_per_inch, float points = control_font_points) {
  return std::max(1, static_cast<int>(std::lround(points * dots_per_inch / 72.0f)));
}

}  // namespace

FltkWindow::FltkWindow(const window_protocol::ShownWindow& shown, float dots_per_inch,
                       EventSink sink)
    : Fl_Double_Window(twips_to_pixels(shown.client_width, dots_per_inch),
                       twips_to_pixels(shown.client_height, dots_per_inch)),
      sink_(std::move(sink)) {
  end();  // widgets are added explicitly below
  copy_label(shown.caption.c_str());
  callback(on_close, this);
  for (std::size_t i = 0; i < shown.controls.size(); ++i) {
    add_control(shown.controls[i], static_cast<int>(i), shown.list_choices, shown.selected_choice,
                dots_per_inch);
  }
}

FltkWindow::~FltkWindow() {
  // Detach the widgets first: the window would otherwise delete them as its children.
  while (children() > 0) remove(child(0));
}

void FltkWindow::draw() {
  Fl_Double_Window::draw();
  drawn_ = true;
}

void FltkWindow::add_control(const window_protocol::ShownControl& control, int index,
                             const std::vector<std::string>& choices, int selected,
                             float dots_per_inch) {
  const auto px = [dots_per_inch](int twips) { return twips_to_pixels(twips, dots_per_inch); };
  std::unique_ptr<Fl_Widget> widget;
  switch (control.kind) {
    case ControlKind::command_button: {
      widget = std::make_unique<Fl_Button>(px(control.left), px(control.top), px(control.width),
                                           px(control.height));
      widget->copy_label(control.caption.c_str());
      widget->callback(on_button, this);
      break;
    }
    case ControlKind::drop_down_list: {
      auto list = std::make_unique<Fl_Choice>(px(control.left), px(control.top), px(control.width),
                                              px(control.height));
      for (const std::string& choice : choices) list->add(choice.c_str());
      if (selected >= 0) list->value(selected);
      list->textsize(font_pixels(dots_per_inch, list_font_points));
      list->callback(on_list, this);
      widget = std::move(list);
      break;
    }
    case ControlKind::serial_port:
      return;  // invisible at run time
  }
  widget->labelsize(font_pixels(dots_per_inch));
  add(widget.get());
  widgets_.push_back({std::move(widget), index});
}

void FltkWindow::on_button(Fl_Widget* button, void* window) {
  auto& self = *static_cast<FltkWindow*>(window);
  for (const auto& [widget, index] : self.widgets_) {
    if (widget.get() == button) self.sink_(Event{EventKind::clicked, index});
  }
}

void FltkWindow::on_list(Fl_Widget* list, void* window) {
  auto& self = *static_cast<FltkWindow*>(window);
  const int picked = static_cast<Fl_Choice*>(list)->value();
  if (picked >= 0) self.sink_(Event{EventKind::selection_changed, picked});
}

void FltkWindow::on_close(Fl_Widget* window, void*) {
  auto& self = *static_cast<FltkWindow*>(window);
  self.hide();
  self.sink_(Event{EventKind::closed, 0});
}

}  // namespace pelvaro
