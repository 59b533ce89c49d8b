#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_port.h"

namespace pelvaro {

// The device of COMn in `devices`: COMn where that name exists (a device node, or the link a udev
// rule makes to an adapter), else ttyS(n-1), the kernel's naming of the PC's serial ports.
std::string serial_device_name(int port_number, std::string_view devices = "/dev");

// Opens a serial device by its path; see open_serial_port. A port that another run or program
// holds is waited for up to turn_limit.
std::unique_ptr<SerialPort> open_serial_device(const std::string& path,
                                               const LineSettings& settings);

}  // namespace pelvaro
