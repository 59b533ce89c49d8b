#include "platform/standard_streams.h"

namespace pelvaro {

// Windows hands out handles, not the lowest free descriptor: nothing pelvaro opens there (the
// port, the settings file) can become a standard stream, so there is nothing to guard.
void keep_standard_streams_apart() {}

}  // namespace pelvaro
