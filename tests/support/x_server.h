#pragma once

#include <sys/types.h>

#include <string>

namespace pelvaro::testing {

// A virtual X server (Xvfb, 96 dots per inch) of the test's own, optionally with a window manager
// (openbox) on it. Both end with this object.
class XServer {
 public:
  explicit XServer(bool with_window_manager);
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  ~XServer();

  const std::string& display() const { return display_; }  // e.g. ":3"
  pid_t server_pid() const { return server_; }

  // Why no X server can be started here (Xvfb or openbox missing), or the empty text.
  static std::string unavailable_reason();

 private:
  void start_window_manager();

  pid_t server_ = 0;
  pid_t window_manager_ = 0;
  std::string display_;
};

}  // namespace pelvaro::testing
