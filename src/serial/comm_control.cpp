#include "serial/comm_control.h"

#include <charconv>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

constexpr int highest_port_number = 255;

[[noreturn]] void refuse_settings(std::u16string_view text) {
  throw RuntimeError{ErrorNumber::invalid_property_value,
                     "line settings \"" + to_ansi(text) + "\" are not baud,parity,data,stop"};
}

std::vector<std::string> split_fields(std::string_view text) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

template <class Number>
std::optional<Number> parse_whole_number(std::string_view field) {
  Number value{};
  const auto result = std::from_chars(field.data(), field.data() + field.size(), value);
  if (result.ec != std::errc{} || result.ptr != field.data() + field.size()) return std::nullopt;
  return value;
}

std::optional<Parity> parse_parity(std::string_view field) {
  if (field.size() != 1) return std::nullopt;
  switch (field[0]) {
    case 'N':
    case 'n':
      return Parity::none;
    case 'E':
    case 'e':
      return Parity::even;
    case 'O':
    case 'o':
      return Parity::odd;
    case 'M':
    case 'm':
      return Parity::mark;
    case 'S':
    case 's':
      return Parity::space;
    default:
      return std::nullopt;
  }
}

std::optional<StopBits> parse_stop_bits(std::string_view field) {
  if (field == "1") return StopBits::one;
  if (field == "1.5") return StopBits::one_and_a_half;
  if (field == "2") return StopBits::two;
  return std::nullopt;
}

template <class Alternative>
const Alternative& value_as(const Variant& value) {
  if (const auto* typed = std::get_if<Alternative>(&value)) return *typed;
  throw RuntimeError{ErrorNumber::type_mismatch};
}

}  // namespace

LineSettings parse_line_settings(std::u16string_view text) {
  const std::vector<std::string> fields = split_fields(to_ansi(text));
  if (fields.size() != 4) refuse_settings(text);
  const auto baud = parse_whole_number<std::uint32_t>(fields[0]);
  const auto parity = parse_parity(fields[1]);
  const auto data_bits = parse_whole_number<int>(fields[2]);
  const auto stop_bits = parse_stop_bits(fields[3]);
  if (!baud || *baud == 0 || !parity || !data_bits || *data_bits < 5 || *data_bits > 8 ||
      !stop_bits || (*stop_bits == StopBits::one_and_a_half && *data_bits != 5)) {
    refuse_settings(text);
  }
  return LineSettings{*baud, *parity, *data_bits, *stop_bits};
}

CommControl::CommControl(SerialPortOpener open_port) : open_port_(std::move(open_port)) {}

void CommControl::put_property(int dispid, const Variant& value) {
  switch (dispid) {
    case comm_dispid::CommPort:
      return set_comm_port(value_as<std::int16_t>(value));
    case comm_dispid::Settings:
      return set_settings(value_as<std::u16string>(value));
    case comm_dispid::PortOpen:
      return set_port_open(value_as<bool>(value));
    case comm_dispid::Output:
      return write_output(value_as<std::u16string>(value));
    default:
      throw RuntimeError{ErrorNumber::internal_error,
                         "no property with dispatch ID " + std::to_string(dispid)};
  }
}

void CommControl::set_comm_port(std::int16_t number) {
  if (port_) throw RuntimeError{ErrorNumber::port_already_open};
  if (number < 1 || number > highest_port_number) {
    throw RuntimeError{ErrorNumber::invalid_port_number, "COM" + std::to_string(number)};
  }
  comm_port_ = number;
}

void CommControl::set_settings(std::u16string_view text) {
  // Takes effect at the next open, as the line settings are applied when the port opens.
  settings_ = parse_line_settings(text);
}

void CommControl::set_port_open(bool open) {
  if (!open) {
    if (port_) {
      // Release the port even if draining fails, so that the failure does not keep it held.
      auto closing = std::move(port_);
      closing->drain_and_close();
    }
    return;
  }
  if (port_) throw RuntimeError{ErrorNumber::port_already_open};
  if (!comm_port_) throw RuntimeError{ErrorNumber::invalid_port_number, "no port chosen"};
  port_ = open_port_(*comm_port_, settings_);
}

void CommControl::write_output(std::u16string_view text) {
  if (!port_) throw RuntimeError{ErrorNumber::port_not_open};
  const std::string bytes = to_ansi(text);
  port_->write(std::as_bytes(std::span{bytes}));
}

}  // namespace pelvaro
