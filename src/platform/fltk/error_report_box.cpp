#include "platform/fltk/error_report_box.h"

#include <FL/Fl.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/fltk/text_wrap.h"

namespace pelvaro {

namespace {

constexpr float text_width_inches = 4.5f;  // about 70 characters of the toolkit's font
constexpr int margin = 16;
constexpr int button_width = 90;
constexpr int button_height = 26;

int pixels(float inches, float dots_per_inch) {
  return static_cast<int>(std::lround(inches * dots_per_inch));
}

std::vector<std::string> wrapped_in_font(const std::string& text, int width) {
  fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
  return wrap_text(text, width, [](std::string_view part) {
    return static_cast<int>(std::ceil(fl_width(part.data(), static_cast<int>(part.size()))));
  });
}

int widest(const std::vector<std::string>& lines) {
  double width = 0;
  for (const auto& line : lines) {
    width = std::max(width, fl_width(line.c_str(), static_cast<int>(line.size())));
  }
  return static_cast<int>(std::ceil(width));
}

}  // namespace

ErrorReportBox::ErrorReportBox(const std::string& text, float dots_per_inch,
                               std::function<void()> dismissed)
    : Fl_Double_Window(1, 1), dismissed_(std::move(dismissed)) {
  end();
  lines_ = wrapped_in_font(text, pixels(text_width_inches, dots_per_inch));
  const int text_width = std::max(widest(lines_), button_width);
  const int text_height = static_cast<int>(lines_.size()) * fl_height();
  size(text_width + 2 * margin, text_height + 3 * margin + button_height);
  text_x_ = margin;
  text_y_ = margin;
  button_ = std::make_unique<Fl_Return_Button>(w() - margin - button_width,
                                               text_y_ + text_height + margin, button_width,
                                               button_height, "OK");
  button_->callback(on_dismiss, this);
  add(button_.get());
  callback(on_dismiss, this);  // the close button and Escape
  copy_label("pelvaro");
  set_modal();
}

ErrorReportBox::~ErrorReportBox() {
  remove(button_.get());
}

void ErrorReportBox::draw() {
  Fl_Double_Window::draw();
  fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
  fl_color(FL_FOREGROUND_COLOR);
  const int line_height = fl_height();
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const int baseline = text_y_ + static_cast<int>(i) * line_height + line_height - fl_descent();
    fl_draw(lines_[i].c_str(), static_cast<int>(lines_[i].size()), text_x_, baseline);
  }
  drawn_ = true;
}

void ErrorReportBox::on_dismiss(Fl_Widget*, void* box) {
  auto& self = *static_cast<ErrorReportBox*>(box);
  self.hide();
  if (self.dismissed_) std::exchange(self.dismissed_, nullptr)();
}

}  // namespace pelvaro
