#pragma once

#include <chrono>
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

// How long opening the port may wait on the driver, line settings included. Generous, since some
// ports connect to their device while they are opened: a Bluetooth serial port pages it, which
// takes up to the link's page timeout of 5.12 s.
inline constexpr std::chrono::milliseconds open_limit{6000};

// How long a run waits for its turn at a port that another run of pelvaro, or another program,
// holds: runs started together (a double click, a burst of events) take turns instead of failing,
// each holding the port for a few milliseconds. A port held longer than this is refused.
inline constexpr std::chrono::milliseconds turn_limit{3000};

// How long a write may wait for room in the driver's buffer.
inline constexpr std::chrono::milliseconds write_timeout{2000};

// The time `bytes` take on the line: start bit, data bits, parity and up to two stop bits each.
inline std::chrono::milliseconds time_on_line(std::size_t bytes, const LineSettings& settings) {
  const std::uint64_t bits_per_byte = 1 + static_cast<std::uint64_t>(settings.data_bits) + 1 + 2;
  return std::chrono::milliseconds{bytes * bits_per_byte * 1000 / settings.baud + 1};
}

// How long closing may wait for written bytes to leave, the driver's queue and the UART together:
// their time on the line, and a margin.
inline std::chrono::milliseconds drain_limit(std::size_t bytes, const LineSettings& settings) {
  return time_on_line(bytes, settings) + std::chrono::milliseconds{1000};
}

// How long giving the port back may take once the drain has ended or been given up on: discarding
// what is stuck, cancelling what is pending and closing, each of which waits on the driver.
inline constexpr std::chrono::milliseconds release_limit{500};

// A stuck port therefore ends a send within open_limit (it does not open or take its settings),
// write_timeout + release_limit (no room for the byte: nothing written, nothing to drain) or
// drain_limit + release_limit (the byte cannot leave). On Windows a write that does not complete
// is cancelled and given release_limit to come back before the port is given back, and a call
// that the driver holds past its bound is cancelled and given a tenth of a second more to return.

// How often a drain looks again whether the output has left: a byte takes about 1 ms at 9600.
inline constexpr std::chrono::milliseconds drain_poll_interval{1};

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
// ignored, exclusive (a port another program holds for longer than turn_limit is an error).
std::unique_ptr<SerialPort> open_serial_port(int port_number, const LineSettings& settings);

using SerialPortOpener =
    std::function<std::unique_ptr<SerialPort>(int port_number, const LineSettings& settings)>;

}  // namespace pelvaro
