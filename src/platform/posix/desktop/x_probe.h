#pragma once

#include <chrono>

namespace pelvaro {

// Whether an X server answers at $DISPLAY ("[host]:number[.screen]") with a whole, well-formed
// connection-setup reply before `deadline`, found out without the X libraries. Any reply will do,
// a refusal for want of authorization included: the server is alive, and the real connection
// brings the authorization. Garbage, half a reply or silence is no display. A display on a host
// known by name only is taken to answer: the name's lookup has no bound, so the window helper,
// which lives under the deadline, finds out instead.
bool x_server_answers(std::chrono::steady_clock::time_point deadline);

}  // namespace pelvaro
