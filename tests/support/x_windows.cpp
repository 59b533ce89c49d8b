#include "support/x_windows.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace pelvaro::testing {

namespace {

// The windows of the program under test come and go while a test looks at them: a request about
// one that has just gone is no failure. Any other error ends the test program, as in Xlib.
int ignore_vanished_windows(Display* x, XErrorEvent* error) {
  if (error->error_code == BadWindow) return 0;
  char text[256] = {};
  XGetErrorText(x, error->error_code, text, sizeof text);
  std::fprintf(stderr, "X error: %s (request %d)\n", text, error->request_code);
  std::exit(1);
}

}  // namespace

XConnection::XConnection(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
  if (!display_) throw std::runtime_error("cannot connect to X display " + display);
  XSetErrorHandler(ignore_vanished_windows);
}

XConnection::~XConnection() {
  XCloseDisplay(display_);
}

std::string window_title(_XDisplay* x, XWindow window) {
  char* name = nullptr;
  if (!XFetchName(x, window, &name) || !name) return {};
  std::string title = name;
  XFree(name);
  return title;
}

WindowSize window_size(_XDisplay* x, XWindow window) {
  XWindowAttributes attributes{};
  XGetWindowAttributes(x, window, &attributes);
  return {attributes.width, attributes.height};
}

bool is_viewable(_XDisplay* x, XWindow window) {
  XWindowAttributes attributes{};
  return XGetWindowAttributes(x, window, &attributes) && attributes.map_state == IsViewable;
}

bool has_focus(_XDisplay* x, XWindow window) {
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(x, &focus, &revert);
  while (focus != 0 && focus != PointerRoot) {
    if (focus == window) return true;
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(x, focus, &root, &parent, &children, &count)) return false;
    if (children) XFree(children);
    if (parent == root) return false;
    focus = parent;
  }
  return false;
}

XWindow find_window_titled(_XDisplay* x, const std::string& title) {
  const auto search = [&](auto& self, XWindow window) -> Window {
    if (window_title(x, window) == title) return window;
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(x, window, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i) found = self(self, children[i]);
    if (children) XFree(children);
    return found;
  };
  return search(search, DefaultRootWindow(x));
}

XWindow wait_for_window(_XDisplay* x, const std::string& title, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const XWindow window = find_window_titled(x, title);
    if (window && is_viewable(x, window)) return window;
    if (std::chrono::steady_clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds{20});
  }
}

void ask_to_close(_XDisplay* x, XWindow window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, window, False, NoEventMask, &event);
  XFlush(x);
}

namespace {
int xdotool(const std::string& display, const std::string& arguments) {
  const std::string command = "DISPLAY=" + display + " xdotool " + arguments;
  return std::system(command.c_str());
}
}  // namespace

void click(const std::string& display, XWindow window, int x, int y) {
  const std::string arguments = "mousemove --window " + std::to_string(window) + " " +
                                std::to_string(x) + " " + std::to_string(y) + " click 1";
  if (xdotool(display, arguments) != 0) throw std::runtime_error("xdotool " + arguments);
}

void press_key_until(const std::string& display, XWindow window, const std::string& key,
                     const std::function<bool()>& done) {
  // Typed into the focused window, as a person's keys are: events sent to a window directly
  // are marked as synthetic, and toolkits ignore those.
  do {
    xdotool(display, "windowfocus " + std::to_string(window) + " sleep 0.1 key " + key);
  } while (!done());
}

}  // namespace pelvaro::testing
