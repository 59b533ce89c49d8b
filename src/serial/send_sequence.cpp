// The send sequence: five statements on the serial control (port, line settings, open, write "a",
// close), each one unit for the handler's error trap. Under resume-next (the activation step) a
// failing statement is dropped silently and the next one runs, so a port that will not open fails
// the write too, and the trap only remembers that something was dropped: status 1, nothing said.
// Under propagate (the button) the first failure ends the sequence in the error report.
// KAPALI, the first choice, is port 0: CommPort refuses it, and the open and the write fail after
// it, so nothing is sent, by the same silent drops. frovan::Form_Activate (src/app/main_window.cpp)
// tells the two apart by the selection and ends with 3 for switched off, which a script must not
// take for a failed send.

#include "serial/send_sequence.h"

#include <string>

#include "runtime/conversions.h"
#include "serial/comm_control.h"

namespace pelvaro {

std::int16_t port_number(std::u16string_view selection) {
  return to_int16(read_number(selection));
}

void run_send_sequence(const ComboBox& com, Dispatch& MSComm1, ErrorTrap& trap) {
  trap.run([&] { MSComm1.put_property(comm_dispid::CommPort, port_number(com.text())); });
  trap.run(
      [&] { MSComm1.put_property(comm_dispid::Settings, std::u16string{line_settings_text}); });
  trap.run([&] { MSComm1.put_property(comm_dispid::PortOpen, true); });
  trap.run([&] { MSComm1.put_property(comm_dispid::Output, std::u16string{signal_text}); });
  trap.run([&] { MSComm1.put_property(comm_dispid::PortOpen, false); });
}

}  // namespace pelvaro
