#include "platform/fltk/fltk_window.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>

#include <cmath>

#include "platform/text_encoding.h"

namespace pelvaro {

namespace {

// The classic dialog font of Windows forms is 8 points; the list's is smaller, so that its widest
// choice, "KAPALI", shows whole in its 57 pixels beside its button.
constexpr float control_font_points = 8.0f;
constexpr float list_font_points = 7.0f;

int font_pixels(float dots_per_inch, float points = control_font_points) {
  return std::max(1, static_cast<int>(std::lround(points * dots_per_inch / 72.0f)));
}

}  // namespace

int twips_to_pixels(int twips, float dots_per_inch) {
  return static_cast<int>(std::lround(twips * dots_per_inch / 1440.0f));
}

FltkWindow::FltkWindow(Form& form, float dots_per_inch, EventSink sink)
    : Fl_Double_Window(twips_to_pixels(form.description().client_width, dots_per_inch),
                       twips_to_pixels(form.description().client_height, dots_per_inch)),
      form_(form),
      sink_(std::move(sink)) {
  end();  // widgets are added explicitly below
  copy_label(to_ansi(form.description().caption).c_str());
  callback(on_close, this);
  for (const ControlDescription& control : form.description().controls) {
    add_control(control, dots_per_inch);
  }
}

FltkWindow::~FltkWindow() {
  // Detach the widgets first: the window would otherwise delete them as its children.
  while (children() > 0) remove(child(0));
}

void FltkWindow::add_control(const ControlDescription& control, float dots_per_inch) {
  const auto px = [dots_per_inch](int twips) { return twips_to_pixels(twips, dots_per_inch); };
  std::unique_ptr<Fl_Widget> widget;
  switch (control.kind) {
    case ControlKind::command_button: {
      widget = std::make_unique<Fl_Button>(px(control.left), px(control.top), px(control.width),
                                           px(control.height));
      widget->copy_label(to_ansi(control.caption).c_str());
      widget->callback(on_button, this);
      break;
    }
    case ControlKind::drop_down_list: {
      auto list = std::make_unique<Fl_Choice>(px(control.left), px(control.top), px(control.width),
                                              px(control.height));
      for (std::u16string_view choice : form_.description().list_choices) {
        list->add(to_ansi(choice).c_str());
      }
      if (const auto selected = form_.drop_down_list().selected_index()) {
        list->value(static_cast<int>(*selected));
      }
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
  widgets_.push_back({std::move(widget), control.name});
}

void FltkWindow::on_button(Fl_Widget* button, void* window) {
  auto& self = *static_cast<FltkWindow*>(window);
  for (const auto& [widget, name] : self.widgets_) {
    if (widget.get() == button) self.sink_({FormEventKind::clicked, name});
  }
}

void FltkWindow::on_list(Fl_Widget* list, void* window) {
  // A person picking a choice selects it, just as assigning its text would.
  auto& self = *static_cast<FltkWindow*>(window);
  const int picked = static_cast<Fl_Choice*>(list)->value();
  if (picked >= 0) self.form_.drop_down_list().select(static_cast<std::size_t>(picked));
}

void FltkWindow::on_close(Fl_Widget* window, void*) {
  auto& self = *static_cast<FltkWindow*>(window);
  self.hide();
  self.sink_({FormEventKind::closed, {}});
}

}  // namespace pelvaro
