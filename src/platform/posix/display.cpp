#include "platform/display.h"

#include "app/headless_display.h"

namespace pelvaro {

std::unique_ptr<Display> open_display() {
  return std::make_unique<HeadlessDisplay>();
}

}  // namespace pelvaro
