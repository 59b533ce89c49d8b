#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/serial_port.h"

namespace pelvaro {

// The termios speed constant of a baud rate, or B0 if termios has none for it.
speed_t baud_constant(std::uint32_t baud);

// `line` made into a raw 8-bit transfer at the given line settings and speed: no echo, no
// translation, no flow control, and the modem-control lines ignored so that a missing carrier
// never blocks.
termios raw_line(termios line, const LineSettings& settings, speed_t speed);

}  // namespace pelvaro
