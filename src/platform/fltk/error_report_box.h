#pragma once

#include <FL/Fl_Double_Window.H>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class Fl_Return_Button;

namespace pelvaro {

// The unhandled-error report's box: the report's text, wrapped to a readable width and shown
// whole, character for character (no label markup), and a button that dismisses it. Return,
// Escape and the window's close button dismiss it too.
class ErrorReportBox final : public Fl_Double_Window {
 public:
  ErrorReportBox(const std::string& text, float dots_per_inch, std::function<void()> dismissed);
  ~ErrorReportBox() override;

  const std::vector<std::string>& lines() const { return lines_; }
  bool drawn() const { return drawn_; }

 protected:
  void draw() override;

 private:
  static void on_dismiss(Fl_Widget*, void* box);

  std::vector<std::string> lines_;
  std::function<void()> dismissed_;
  std::unique_ptr<Fl_Return_Button> button_;
  int text_x_ = 0;
  int text_y_ = 0;
  bool drawn_ = false;
};

}  // namespace pelvaro
