#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/controls.h"
#include "runtime/error_policy.h"
#include "runtime/late_binding.h"

namespace pelvaro {

inline constexpr std::u16string_view line_settings_text = u"9600,N,8,1";
inline constexpr std::u16string_view signal_text = u"a";

// The port number a port selection names: its number, rounded half to even. "KAPALI" and the
// empty text give 0. Throws RuntimeError overflow outside -32768 ... 32767.
std::int16_t port_number(std::u16string_view selection);

// Sends the signal on the port that the selector `com` names, through the serial control
// `MSComm1`: choose the port, set the line, open, write "a", close. Each of the five statements is
// one unit for `trap`, which decides what a failure does.
void run_send_sequence(const ComboBox& com, Dispatch& MSComm1, ErrorTrap& trap);

}  // namespace pelvaro
