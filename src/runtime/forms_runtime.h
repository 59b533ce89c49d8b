#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/controls.h"
#include "runtime/runtime_error.h"
#include "runtime/window_description.h"

namespace pelvaro {

// How the process ends, as its exit status.
enum class ExitStatus : int {
  success = 0,          // every statement of the send sequence succeeded
  failure_dropped = 1,  // the activation step dropped a failure: nothing, or not all, went out
  unhandled_error = 2,  // the unhandled-error report ended the program
  switched_off = 3,     // the port selection switches sending off, and nothing went out
};

// The runtime's application object.
struct Application {
  std::function<std::u16string()> Path;  // directory of the running executable
  char16_t path_separator = u'/';
};

// A window object as the runtime drives it: created hidden from its description, loaded, shown,
// then handed its events one at a time.
class Form {
 public:
  virtual ~Form() = default;
  virtual const WindowDescription& description() const = 0;
  virtual ComboBox& drop_down_list() = 0;
  virtual void Form_Load() = 0;
  virtual void Form_Activate() = 0;
  virtual void Click(std::string_view control_name) = 0;

  // The status a handler ended the program with, once one has.
  std::optional<ExitStatus> ending() const { return ending_; }

 protected:
  // `End`: the program ends as soon as the running handler returns, and no further events of the
  // window are delivered. The handler returns right after it. A return rather than an exception,
  // so that a run that succeeds never unwinds: the unwinder's first use is a measurable part of a
  // run without a display (docs/benchmarks.md).
  void End(ExitStatus status) {
    if (!ending_) ending_ = status;
  }

 private:
  std::optional<ExitStatus> ending_;
};

enum class FormEventKind { activated, clicked, closed };

struct FormEvent {
  FormEventKind kind;
  std::string_view control_name;  // for clicked
};

// What a person's act in the window means to the form, whichever desktop reports it. A click on
// the control at `control_index` of the form's description is an event for its handler when that
// control is a button, and nothing otherwise.
std::optional<FormEvent> button_clicked(const Form& form, std::size_t control_index);
// Picking choice `choice` of the drop-down list selects it at once, just as assigning its text
// would; no handler runs. A choice the list does not have is ignored.
void choice_picked(Form& form, std::size_t choice);

// Where the window is shown: a desktop, or nothing at all when there is no display.
class Display {
 public:
  virtual ~Display() = default;
  virtual void show(Form& form) = 0;
  // Waits for the shown window's next event. Must not wait forever for the first activation.
  virtual FormEvent next_event() = 0;
  // Tells the user of an error that no handler trapped.
  virtual void report_unhandled_error(const RuntimeError& error) = 0;
};

// The one line the unhandled-error report consists of, e.g.
// "pelvaro: run-time error 6: Overflow".
std::string unhandled_error_line(const RuntimeError& error);

// Writes that line to standard error, where scripts see it whatever else the display shows.
void print_unhandled_error(const RuntimeError& error);

// Runs the program whose startup object is `form`: load, show, then events until it ends.
ExitStatus run_forms_application(Form& form, Display& display);

}  // namespace pelvaro
