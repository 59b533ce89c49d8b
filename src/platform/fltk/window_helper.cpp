// pelvaro-window: the window helper. pelvaro starts it beside itself when an X display answers
// and talks to it over the channel on descriptor 3: it shows what it is told to show and reports
// what happens there. Whatever goes wrong here (the display, the toolkit, the window manager)
// ends this process only; pelvaro then goes on without a window (docs/design.md, "The window and
// its helper process").

#include <FL/Fl.H>
#include <FL/x.H>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>
#include <variant>

#include "platform/fltk/fltk_desktop.h"
#include "platform/window/window_protocol.h"

namespace {

using namespace pelvaro;
using namespace pelvaro::window_protocol;

// Exit codes, for whoever reads them in a trace; pelvaro only sees the channel close.
constexpr int no_display = 1;
constexpr int broken_channel = 2;
constexpr int lost_display = 3;

void send_event(const Event& event) {
  const std::string bytes = encode(event);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(helper_channel, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) ::_exit(0);  // the program is gone: nobody left to show anything for
    sent += static_cast<std::size_t>(n);
  }
}

// Xlib calls this when the connection breaks and ends the process if it returns.
int on_lost_display(Display*) {
  ::_exit(lost_display);
}

struct Helper {
  FltkDesktop* desktop;
  CommandReader commands;
  std::thread* font_setup;
};

void carry_out(Helper& helper, const Command& command) {
  if (helper.font_setup->joinable()) helper.font_setup->join();  // drawing needs the fonts
  FltkDesktop& desktop = *helper.desktop;
  if (const auto* show = std::get_if<Show>(&command)) {
    desktop.show(show->window);
  } else {
    desktop.report(std::get<Report>(command).text);
  }
}

void on_channel_readable(int channel, void* data) {
  auto& helper = *static_cast<Helper*>(data);
  std::array<char, 4096> buffer{};
  const ssize_t n = ::read(channel, buffer.data(), buffer.size());
  if (n == 0) ::_exit(0);  // the program has ended
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    ::_exit(broken_channel);
  }
  helper.commands.append({buffer.data(), static_cast<std::size_t>(n)});
  while (const auto command = helper.commands.next()) carry_out(helper, *command);
  if (helper.commands.broken()) ::_exit(broken_channel);
}

void say_alive(void*) {
  XSync(fl_display, False);  // blocks while the server does not answer: then nothing is said
  send_event({EventKind::alive, 0});
  Fl::repeat_timeout(std::chrono::duration<double>(alive_interval).count(), say_alive);
}

}  // namespace

int main() {
  // The helper ends with pelvaro, however pelvaro ends: an X server that stalls would otherwise
  // keep an orphan waiting on it.
  const pid_t program = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != program) ::_exit(no_display);  // it has ended already
  ::fcntl(helper_channel, F_SETFD, FD_CLOEXEC);
  // The font configuration, which the first drawing needs, takes longer to read than anything
  // else here: it is read while the display is opened and the program's command awaited.
  std::thread font_setup{[] { FcInit(); }};
  Display* connection = XOpenDisplay(nullptr);
  if (!connection) ::_exit(no_display);
  XSetIOErrorHandler(on_lost_display);
  FltkDesktop desktop{connection, send_event};
  Helper helper{&desktop, {}, &font_setup};
  Fl::add_fd(helper_channel, FL_READ, on_channel_readable, &helper);
  Fl::add_timeout(std::chrono::duration<double>(alive_interval).count(), say_alive);
  for (;;) {
    Fl::wait(1e20);
    desktop.after_events();
  }
}
