#include "platform/posix/desktop/helper_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>
#include <optional>

#include "platform/display.h"
#include "platform/posix/error_stream.h"
#include "platform/posix/file_descriptor.h"
#include "platform/text_encoding.h"
#include "platform/window/window_protocol.h"
#include "runtime/deadline.h"

extern char** environ;

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;
namespace protocol = window_protocol;

// A started helper process, ended (killed) and reaped when this goes.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { end(); }

  void end() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);  // a stopped or hung process ends too
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
  }

 private:
  pid_t pid_;
};

// posix_spawn's file actions, released when this goes.
class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class HelperDisplay final : public Display {
 public:
  HelperDisplay(pid_t helper, FileDescriptor channel, Clock::time_point deadline)
      : helper_(helper), channel_(std::move(channel)), deadline_(deadline) {}

  void show(Form& form) override {
    form_ = &form;
    send(protocol::Show{shown_window(form)}, deadline_);
  }

  FormEvent next_event() override {
    if (!form_) return {FormEventKind::closed, {}};
    if (!activated_) return first_activation();
    if (!pending_.empty()) {
      const FormEvent event = pending_.front();
      pending_.pop_front();
      return event;
    }
    while (connected()) {
      const auto event = receive(Clock::now() + protocol::silence_limit);
      if (!event) break;
      if (const auto form_event = apply(*event)) return *form_event;
    }
    give_up();
    return {FormEventKind::closed, {}};
  }

  void report_unhandled_error(const RuntimeError& error) override {
    const std::string line = unhandled_error_line(error);
    print_unhandled_error_within_limit(error);  // first: whatever the desktop does, the line is out
    // Nothing waits on the box, so it may take longer to appear than the window may; but a box
    // that has not appeared within the silence limit never will.
    const Clock::time_point appear_by = Clock::now() + protocol::silence_limit;
    send(protocol::Report{line}, appear_by);
    if (!wait_for(protocol::EventKind::report_shown, appear_by)) return give_up();
    // Then it stays until it is dismissed or its display is gone.
    while (connected()) {
      const auto event = receive(Clock::now() + protocol::silence_limit);
      if (!event || event->kind == protocol::EventKind::report_dismissed) break;
    }
    give_up();
  }

 private:
  bool connected() const { return channel_.valid(); }

  void give_up() {
    helper_.end();
    channel_.reset();
  }

  // Waits for the window to become active until the deadline; a window that does not is given
  // up, and the activation comes all the same.
  FormEvent first_activation() {
    activated_ = true;
    while (connected()) {
      const auto event = receive(deadline_);
      if (!event || event->kind == protocol::EventKind::closed) break;
      if (event->kind == protocol::EventKind::active) return {FormEventKind::activated, {}};
      if (const auto form_event = apply(*event)) pending_.push_back(*form_event);
    }
    give_up();
    pending_.clear();
    return {FormEventKind::activated, {}};
  }

  // What an event of the helper means to the form: a selection is applied at once; a click or the
  // close is handed on.
  std::optional<FormEvent> apply(const protocol::Event& event) {
    const auto index = static_cast<std::size_t>(event.index);
    switch (event.kind) {
      case protocol::EventKind::clicked:
        return button_clicked(*form_, index);
      case protocol::EventKind::selection_changed:
        choice_picked(*form_, index);
        return std::nullopt;
      case protocol::EventKind::closed:
        return FormEvent{FormEventKind::closed, {}};
      default:
        return std::nullopt;
    }
  }

  bool wait_for(protocol::EventKind kind, Clock::time_point until) {
    while (connected()) {
      const auto event = receive(until);
      if (!event) return false;
      if (event->kind == kind) return true;
    }
    return false;
  }

  // The helper's next event, or nothing if it has not come by `until` or the channel broke.
  std::optional<protocol::Event> receive(Clock::time_point until) {
    while (connected()) {
      if (auto event = events_.next()) return event;
      if (events_.broken() || !read_some(until)) break;
    }
    return std::nullopt;
  }

  bool read_some(Clock::time_point until) {
    pollfd watch{channel_.get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, milliseconds_left(until));
    if (ready < 0 && errno == EINTR) return true;
    if (ready != 1) return false;
    std::array<char, 4096> buffer{};
    const ssize_t n = ::recv(channel_.get(), buffer.data(), buffer.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    events_.append({buffer.data(), static_cast<std::size_t>(n)});
    return true;
  }

  void send(const protocol::Command& command, Clock::time_point until) {
    const std::string bytes = protocol::encode(command);
    std::size_t sent = 0;
    while (connected() && sent < bytes.size()) {
      const ssize_t n =
          ::send(channel_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      pollfd watch{channel_.get(), POLLOUT, 0};
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN && ::poll(&watch, 1, milliseconds_left(until)) == 1) continue;
      give_up();
    }
  }

  ChildProcess helper_;
  FileDescriptor channel_;
  Clock::time_point deadline_;
  Form* form_ = nullptr;
  bool activated_ = false;
  protocol::EventReader events_;
  std::deque<FormEvent> pending_;
};

}  // namespace

window_protocol::ShownWindow shown_window(Form& form) {
  const WindowDescription& description = form.description();
  window_protocol::ShownWindow shown;
  shown.caption = to_ansi(description.caption);
  shown.client_width = description.client_width;
  shown.client_height = description.client_height;
  for (const ControlDescription& control : description.controls) {
    shown.controls.push_back({control.kind, control.left, control.top, control.width,
                              control.height, to_ansi(control.caption)});
  }
  for (const std::u16string_view choice : description.list_choices) {
    shown.list_choices.push_back(to_ansi(choice));
  }
  const auto selected = form.drop_down_list().selected_index();
  shown.selected_choice = selected ? static_cast<int>(*selected) : -1;
  return shown;
}

std::unique_ptr<Display> start_window_helper(const std::string& helper,
                                             Clock::time_point deadline) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
  FileDescriptor mine{ends[0]};
  const FileDescriptor theirs{ends[1]};
  SpawnActions actions;
  ::posix_spawn_file_actions_adddup2(actions.get(), theirs.get(), protocol::helper_channel);
  ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // What Xlib says to a display that refuses the helper is no report of pelvaro's: the run's
  // standard error carries the error report alone.
  ::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // Nor does the helper hold what pelvaro's own caller gave it, such as the ends of its pipes.
  ::posix_spawn_file_actions_addclosefrom_np(actions.get(), protocol::helper_channel + 1);
  std::string name = "pelvaro-window";
  char* argv[] = {name.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, helper.c_str(), actions.get(), nullptr, argv, environ) != 0) {
    return nullptr;
  }
  if (::fcntl(mine.get(), F_SETFL, O_NONBLOCK) != 0) {
    ChildProcess{pid}.end();
    return nullptr;
  }
  return std::make_unique<HelperDisplay>(pid, std::move(mine), deadline);
}

}  // namespace pelvaro
