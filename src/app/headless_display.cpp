#include "app/headless_display.h"

#include <cstdio>

namespace pelvaro {

void HeadlessDisplay::show(Form&) {
  shown_ = true;
}

FormEvent HeadlessDisplay::next_event() {
  // Nobody can click a window that is not there: after its one activation it is as good as closed.
  if (shown_ && !activated_) {
    activated_ = true;
    return {FormEventKind::activated, {}};
  }
  return {FormEventKind::closed, {}};
}

// C's stdio rather than iostreams: setting those up costs a sixth of a whole run.
void HeadlessDisplay::report_unhandled_error(const RuntimeError& error) {
  std::fprintf(stderr, "%s\n", unhandled_error_line(error).c_str());
  std::fflush(stderr);
}

}  // namespace pelvaro
