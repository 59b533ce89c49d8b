#pragma once

#include <cmath>
#include <span>
#include <string_view>

namespace pelvaro {

enum class ControlKind { command_button, drop_down_list, serial_port };

// One control as the window description stores it; positions and sizes in twips (1/1440 inch).
// A control that is invisible at run time has no position.
struct ControlDescription {
  std::string_view name;
  ControlKind kind;
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  std::u16string_view caption;
};

// The stored design of a window, from which the runtime creates it and its controls.
struct WindowDescription {
  std::u16string_view caption;
  int client_width = 0;  // twips
  int client_height = 0;
  std::span<const ControlDescription> controls;       // in the order of the description
  std::span<const std::u16string_view> list_choices;  // of the window's drop-down list
};

// A length in twips as pixels at the screen's resolution, to the nearest pixel.
inline int twips_to_pixels(int twips, double dots_per_inch) {
  return static_cast<int>(std::lround(twips * dots_per_inch / 1440.0));
}

}  // namespace pelvaro
