#include "support/x_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pelvaro::testing {

namespace {

pid_t spawn(std::vector<std::string> argv, const std::string& display, int keep_fd = -1) {
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Ends with the test even when the test is killed before its destructors run.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (keep_fd >= 0) ::fcntl(keep_fd, F_SETFD, 0);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return child;
}

void stop(pid_t& child) {
  if (child <= 0) return;
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  child = 0;
}

bool on_path(const char* program) {
  return std::system((std::string{"command -v "} + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

std::string XServer::unavailable_reason() {
  if (!on_path("Xvfb")) return "Xvfb is not installed";
  if (!on_path("openbox")) return "openbox is not installed";
  return {};
}

XServer::XServer(bool with_window_manager) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  server_ = spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", "1024x768x24",
                   "-dpi", "96", "-nolisten", "tcp", "-noreset"},
                  "", ready[1]);
  ::close(ready[1]);
  std::string number;
  char c = 0;
  while (::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(ready[0]);
  if (number.empty()) {
    stop(server_);
    throw std::runtime_error("Xvfb did not start");
  }
  display_ = ":" + number;
  if (with_window_manager) start_window_manager();
}

void XServer::start_window_manager() {
  // openbox runs its startup command once it manages the screen.
  char ready[] = "/tmp/pelvaro-wm-ready-XXXXXX";
  const int marker = ::mkstemp(ready);
  if (marker < 0) throw std::runtime_error("mkstemp failed");
  ::close(marker);
  ::unlink(ready);
  window_manager_ =
      spawn({"openbox", "--sm-disable", "--startup", std::string{"touch "} + ready}, display_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{10};
  while (::access(ready, F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  const bool started = ::unlink(ready) == 0;
  if (!started) throw std::runtime_error("openbox did not start");
}

XServer::~XServer() {
  stop(window_manager_);
  stop(server_);
}

}  // namespace pelvaro::testing
