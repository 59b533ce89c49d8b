#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace pelvaro {

// The program's run-time error numbers. They are part of the interface (the error report shows
// them and the README lists them), so a number is never reused for another meaning.
enum class ErrorNumber : int {
  out_of_memory = 7,
  overflow = 6,
  type_mismatch = 13,
  internal_error = 51,
  path_access = 75,
  invalid_property_value = 380,
  invalid_port_number = 8002,
  port_already_open = 8005,
  port_in_use = 8010,
  not_a_serial_port = 8011,
  device_unavailable = 8012,
  line_settings_refused = 8015,
  port_not_open = 8018,
  write_failed = 8020,
  output_not_drained = 8021,
};

// The fixed text of an error number, e.g. "Overflow".
std::string_view error_text(ErrorNumber number);

// A run-time error: its number and its text. The text is the number's fixed text, followed by
// the particulars of this occurrence (a device name, the system's own error text) if any.
class RuntimeError : public std::runtime_error {
 public:
  explicit RuntimeError(ErrorNumber number);
  RuntimeError(ErrorNumber number, std::string_view detail);

  ErrorNumber number() const { return number_; }

 private:
  ErrorNumber number_;
};

}  // namespace pelvaro
