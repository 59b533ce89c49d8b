#pragma once

#include "runtime/forms_runtime.h"

namespace pelvaro::testing {

// A window whose activation is not acted on, so that it stays open to be looked at and clicked;
// everything else goes to the real window.
class InertActivation final : public Form {
 public:
  explicit InertActivation(Form& window) : window_(window) {}

  const WindowDescription& description() const override { return window_.description(); }
  ComboBox& drop_down_list() override { return window_.drop_down_list(); }
  void Form_Load() override { window_.Form_Load(); }
  void Form_Activate() override {}
  void Click(std::string_view control_name) override { window_.Click(control_name); }

 private:
  Form& window_;
};

}  // namespace pelvaro::testing
