#pragma once

#include <chrono>
#include <functional>
#include <string>

// Kept free of the X headers, whose macros (None, Bool, ...) clash with other code.
struct _XDisplay;

namespace pelvaro::testing {

using XWindow = unsigned long;

// A connection to an X server, closed when this goes.
class XConnection {
 public:
  explicit XConnection(const std::string& display);
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;
  ~XConnection();
  _XDisplay* get() const { return display_; }

 private:
  _XDisplay* display_;
};

struct WindowSize {
  int width = 0;
  int height = 0;
};

std::string window_title(_XDisplay* x, XWindow window);
WindowSize window_size(_XDisplay* x, XWindow window);
bool is_viewable(_XDisplay* x, XWindow window);
// Whether the input focus is on `window` or inside it.
bool has_focus(_XDisplay* x, XWindow window);
// The first window, anywhere in the tree, whose title is `title`; 0 if there is none.
XWindow find_window_titled(_XDisplay* x, const std::string& title);
// The first viewable window titled `title` to appear within `limit`, or 0.
XWindow wait_for_window(_XDisplay* x, const std::string& title, std::chrono::milliseconds limit);
// Asks `window` to close, as a window manager does for "Close window" (WM_DELETE_WINDOW).
void ask_to_close(_XDisplay* x, XWindow window);
// Sends a real pointer click through the X server (xdotool), as a person would.
void click(const std::string& display, XWindow window, int x, int y);
// Types `key` into `window` until `done` says that it had its effect: a window that has just
// appeared may not take keys yet.
void press_key_until(const std::string& display, XWindow window, const std::string& key,
                     const std::function<bool()>& done);

}  // namespace pelvaro::testing
