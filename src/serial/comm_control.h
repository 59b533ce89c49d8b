#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/serial_port.h"
#include "runtime/late_binding.h"

namespace pelvaro {

// Dispatch IDs of the serial-port control's properties.
namespace comm_dispid {
inline constexpr int CommPort = 4;   // 16-bit integer n: the port COMn that the next open uses
inline constexpr int PortOpen = 20;  // boolean: true opens the port, false closes it
inline constexpr int Settings = 23;  // string "baud,parity,data,stop"
inline constexpr int Output = 25;    // string to transmit, sent in its 8-bit form
}  // namespace comm_dispid

// Parses "baud,parity,data,stop": parity N, E, O, M or S; data bits 5 to 8; stop bits 1, 1.5 or
// 2 (1.5 only with 5 data bits). Throws RuntimeError invalid_property_value for anything else.
// The program only ever sets "9600,N,8,1", but the control takes the line from the string it is
// given, as the control it stands in for does, so that the send sequence alone says the line.
LineSettings parse_line_settings(std::u16string_view text);

// The serial-port control. It starts with no port chosen and 9600,N,8,1, and refuses port
// numbers below 1, so an open without a valid CommPort fails rather than reach some other port.
class CommControl final : public Dispatch {
 public:
  // `open_port` reaches the devices: the system's open_serial_port, wired in by main.
  explicit CommControl(SerialPortOpener open_port);

  void put_property(int dispid, const Variant& value) override;

  std::optional<int> comm_port() const { return comm_port_; }
  bool port_open() const { return port_ != nullptr; }

 private:
  void set_comm_port(std::int16_t number);
  void set_settings(std::u16string_view text);
  void set_port_open(bool open);
  void write_output(std::u16string_view text);

  SerialPortOpener open_port_;
  std::optional<int> comm_port_;
  LineSettings settings_;
  std::unique_ptr<SerialPort> port_;
};

}  // namespace pelvaro
