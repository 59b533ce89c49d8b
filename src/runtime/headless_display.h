#pragma once

#include "runtime/forms_runtime.h"

namespace pelvaro {

// The display when there is none: the window is never drawn, it becomes active as soon as it is
// shown, and the unhandled-error report is one line on standard error.
class HeadlessDisplay final : public Display {
 public:
  using LinePrinter = void (*)(const RuntimeError&);
  // `print_line` writes the report's line; the system's own may bound how long that takes.
  explicit HeadlessDisplay(LinePrinter print_line = print_unhandled_error)
      : print_line_(print_line) {}

  void show(Form& form) override;
  FormEvent next_event() override;
  void report_unhandled_error(const RuntimeError& error) override;

 private:
  LinePrinter print_line_;
  bool shown_ = false;
  bool activated_ = false;
};

}  // namespace pelvaro
