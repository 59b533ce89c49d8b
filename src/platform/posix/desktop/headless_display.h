#pragma once

#include "runtime/forms_runtime.h"

namespace pelvaro {

// The display when there is none: the window is never drawn, it becomes active as soon as it is
// shown, and the unhandled-error report is one line on standard error, written within its limit.
class HeadlessDisplay final : public Display {
 public:
  void show(Form& form) override;
  FormEvent next_event() override;
  void report_unhandled_error(const RuntimeError& error) override;

 private:
  bool shown_ = false;
  bool activated_ = false;
};

}  // namespace pelvaro
