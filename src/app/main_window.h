#pragma once

#include <memory>
#include <string_view>

#include "runtime/controls.h"
#include "runtime/forms_runtime.h"
#include "runtime/late_binding.h"

namespace pelvaro {

// The description of the main window: caption "Form1", the button Command1, the drop-down list
// com with its 26 port choices, and the serial control MSComm1.
const WindowDescription& frovan_description();

// The main window and the program's startup object. Loading it reads the port selection from the
// settings file beside the executable; activating it sends the signal and ends the program.
// Its names (frovan, Form1, Form_Load, Command1, com, MSComm1, App) are the design's own, kept
// on purpose against this code's naming so that each maps one to one onto it: not to be renamed.
class frovan final : public Form {
 public:
  frovan(Application app, std::unique_ptr<Dispatch> comm_control);

  const WindowDescription& description() const override { return frovan_description(); }
  ComboBox& drop_down_list() override { return com; }

  void Form_Load() override;
  void Form_Activate() override;
  void Click(std::string_view control_name) override;
  void Command1_Click();

  ComboBox com;                       // the port selection
  std::unique_ptr<Dispatch> MSComm1;  // the serial-port control

 private:
  Application App;
};

}  // namespace pelvaro
