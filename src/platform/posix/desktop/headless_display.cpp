#include "platform/posix/desktop/headless_display.h"

#include "platform/posix/error_stream.h"

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

void HeadlessDisplay::report_unhandled_error(const RuntimeError& error) {
  print_unhandled_error_within_limit(error);
}

}  // namespace pelvaro
