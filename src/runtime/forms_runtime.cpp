#include "runtime/forms_runtime.h"

#include <cstdio>
#include <exception>
#include <new>

namespace pelvaro {

std::string unhandled_error_line(const RuntimeError& error) {
  return "pelvaro: run-time error " + std::to_string(static_cast<int>(error.number())) + ": " +
         error.what();
}

// C's stdio rather than iostreams, whose setting up is a large part of a whole run
// (docs/benchmarks.md).
void print_unhandled_error(const RuntimeError& error) {
  std::fprintf(stderr, "%s\n", unhandled_error_line(error).c_str());
  std::fflush(stderr);
}

std::optional<FormEvent> button_clicked(const Form& form, std::size_t control_index) {
  const auto& controls = form.description().controls;
  if (control_index >= controls.size() ||
      controls[control_index].kind != ControlKind::command_button) {
    return std::nullopt;
  }
  return FormEvent{FormEventKind::clicked, controls[control_index].name};
}

void choice_picked(Form& form, std::size_t choice) {
  if (choice < form.description().list_choices.size()) form.drop_down_list().select(choice);
}

namespace {

void dispatch(Form& form, const FormEvent& event) {
  switch (event.kind) {
    case FormEventKind::activated:
      form.Form_Activate();
      break;
    case FormEventKind::clicked:
      form.Click(event.control_name);
      break;
    case FormEventKind::closed:
      break;
  }
}

ExitStatus run_until_end(Form& form, Display& display) {
  form.Form_Load();
  if (const auto status = form.ending()) return *status;
  display.show(form);
  bool activated = false;
  for (;;) {
    const FormEvent event = display.next_event();
    if (event.kind == FormEventKind::closed) {
      // A window closed, destroyed or never shown before it became active still owes the run
      // its activation: the desktop never costs the send, and the status says what it gave.
      if (!activated) form.Form_Activate();
      return form.ending().value_or(ExitStatus::success);
    }
    activated = activated || event.kind == FormEventKind::activated;
    dispatch(form, event);
    if (const auto status = form.ending()) return *status;
  }
}

ExitStatus report(Display& display, const RuntimeError& error) {
  display.report_unhandled_error(error);
  return ExitStatus::unhandled_error;
}

}  // namespace

ExitStatus run_forms_application(Form& form, Display& display) {
  try {
    return run_until_end(form, display);
  } catch (const RuntimeError& error) {
    return report(display, error);
  } catch (const std::bad_alloc&) {
    return report(display, RuntimeError{ErrorNumber::out_of_memory});
  } catch (const std::exception& error) {
    return report(display, RuntimeError{ErrorNumber::internal_error, error.what()});
  }
}

}  // namespace pelvaro
