#pragma once

#include <memory>

#include "runtime/forms_runtime.h"

namespace pelvaro {

// The display the window is shown on: the desktop when one can be reached, else none at all.
std::unique_ptr<Display> open_display();

}  // namespace pelvaro
