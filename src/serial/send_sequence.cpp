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
