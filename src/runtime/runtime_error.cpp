#include "runtime/runtime_error.h"

namespace pelvaro {

std::string_view error_text(ErrorNumber number) {
  switch (number) {
    case ErrorNumber::out_of_memory:
      return "Out of memory";
    case ErrorNumber::overflow:
      return "Overflow";
    case ErrorNumber::type_mismatch:
      return "Type mismatch";
    case ErrorNumber::internal_error:
      return "Internal error";
    case ErrorNumber::path_access:
      return "Path/File access error";
    case ErrorNumber::invalid_property_value:
      return "Invalid property value";
    case ErrorNumber::invalid_port_number:
      return "Invalid port number";
    case ErrorNumber::port_already_open:
      return "Port already open";
    case ErrorNumber::port_in_use:
      return "Port in use by another program";
    case ErrorNumber::not_a_serial_port:
      return "The device is not a serial port";
    case ErrorNumber::device_unavailable:
      return "Device unavailable";
    case ErrorNumber::line_settings_refused:
      return "Line settings refused by the device";
    case ErrorNumber::port_not_open:
      return "Operation valid only when the port is open";
    case ErrorNumber::write_failed:
      return "Write to the port failed";
    case ErrorNumber::output_not_drained:
      return "Output did not leave the port in time";
  }
  return "Unknown error";
}

namespace {
std::string compose(ErrorNumber number, std::string_view detail) {
  std::string text{error_text(number)};
  if (!detail.empty()) {
    text += ": ";
    text += detail;
  }
  return text;
}
}  // namespace

RuntimeError::RuntimeError(ErrorNumber number) : RuntimeError(number, {}) {}

RuntimeError::RuntimeError(ErrorNumber number, std::string_view detail)
    : std::runtime_error(compose(number, detail)), number_(number) {}

}  // namespace pelvaro
