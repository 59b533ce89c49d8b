#pragma once

namespace pelvaro {

// Gives every closed standard stream a harmless file (the null device), so that no connection or
// port opened later can take its place and receive what is written to it; and makes a standard
// error whose reader has gone fail its writes rather than end the run. To be called first.
void keep_standard_streams_apart();

}  // namespace pelvaro
