#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace pelvaro {

enum class Parity { none, even, odd, mark, space };
enum class StopBits { one, one_and_a_half, two };

struct LineSettings {
  std::uint32_t baud = 9600;
  Parity parity = Parity::none;
  int data_bits = 8;
  StopBits stop_bits = StopBits::one;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// An open serial port, held exclusively. Every failure throws RuntimeError.
class SerialPort {
 public:
  virtual ~SerialPort() = default;  // closes at once, discarding output that has not left

  // Hands all of `bytes` to the port for transmission, waiting a bounded time for room.
  virtual void write(std::span<const std::byte> bytes) = 0;

  // Waits a bounded time until the written bytes have left the port, then closes it. The port is
  // closed afterwards even when this throws.
  virtual void drain_and_close() = 0;
};

// Opens COM`port_number` with the given line settings: raw, no flow control, modem-control lines
// ignored, exclusive (a port another program holds is an error).
std::unique_ptr<SerialPort> open_serial_port(int port_number, const LineSettings& settings);

using SerialPortOpener =
    std::function<std::unique_ptr<SerialPort>(int port_number, const LineSettings& settings)>;

}  // namespace pelvaro
