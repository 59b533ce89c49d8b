#include "platform/display.h"

#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/executable_path.h"
#include "platform/posix/file_descriptor.h"
#include "platform/text_encoding.h"
#include "runtime/headless_display.h"

namespace pelvaro {

namespace {

constexpr const char* display_module_name = "pelvaro-fltk.so";
constexpr int connect_timeout_ms = 500;

bool connect_within_timeout(const FileDescriptor& socket, const sockaddr* address,
                            socklen_t length) {
  if (::connect(socket.get(), address, length) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd watch{socket.get(), POLLOUT, 0};
  if (::poll(&watch, 1, connect_timeout_ms) != 1) return false;
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Whether an X server answers the opening of a connection within the timeout. Any answer will do,
// a refusal for want of authorization included: the server is alive, and the real connection
// brings the authorization. A socket whose server hangs would otherwise hang the program in the
// X library's own connection setup, which waits without a bound.
bool answers_like_an_x_server(const FileDescriptor& socket) {
  const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // protocol 11.0
  if (::send(socket.get(), setup, sizeof setup, MSG_NOSIGNAL) != sizeof setup) return false;
  pollfd watch{socket.get(), POLLIN, 0};
  if (::poll(&watch, 1, connect_timeout_ms) != 1) return false;
  unsigned char status = 0;
  return ::recv(socket.get(), &status, 1, 0) == 1;
}

bool x_server_at(int domain, const sockaddr* address, socklen_t length) {
  const FileDescriptor socket{::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  return socket.valid() && connect_within_timeout(socket, address, length) &&
         answers_like_an_x_server(socket);
}

bool local_x_server_answers(const std::string& number) {
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (const bool abstract : {true, false}) {  // Xlib tries the abstract name first, as here
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               path.size() + (abstract ? 0 : 1));
    if (x_server_at(AF_UNIX, reinterpret_cast<sockaddr*>(&address), length)) return true;
  }
  return false;
}

bool remote_x_server_answers(const std::string& host, const std::string& number) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + std::atoi(number.c_str()));
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool listens = false;
  for (const addrinfo* a = found; a && !listens; a = a->ai_next) {
    listens = x_server_at(a->ai_family, a->ai_addr, a->ai_addrlen);
  }
  ::freeaddrinfo(found);
  return listens;
}

// Whether an X server answers at $DISPLAY ("[host]:number[.screen]"), found out without the X
// libraries: the toolkit's own attempt ends the process when there is none, and waits for ever on
// a server that does not answer.
bool x_server_reachable() {
  const char* value = std::getenv("DISPLAY");
  if (!value || !*value) return false;
  const std::string display = value;
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (host.starts_with("unix/")) host.erase(0, 5);
  if (host.empty() || host == "unix") return local_x_server_answers(number);
  return remote_x_server_answers(host, number);
}

// A display that lives in a loaded module, which stays loaded as long as the display does.
class ModuleDisplay final : public Display {
 public:
  ModuleDisplay(void* module, std::unique_ptr<Display> display)
      : module_(module), display_(std::move(display)) {}
  ~ModuleDisplay() override {
    display_.reset();
    ::dlclose(module_);
  }
  ModuleDisplay(const ModuleDisplay&) = delete;
  ModuleDisplay& operator=(const ModuleDisplay&) = delete;

  void show(Form& form) override { display_->show(form); }
  FormEvent next_event() override { return display_->next_event(); }
  void report_unhandled_error(const RuntimeError& error) override {
    display_->report_unhandled_error(error);
  }

 private:
  void* module_;
  std::unique_ptr<Display> display_;
};

// The desktop display from the module beside the executable, or nothing when the module is
// missing or cannot open the display after all.
std::unique_ptr<Display> load_display_module() {
  std::string path;
  try {
    path = to_ansi(executable_directory()) + "/" + display_module_name;
  } catch (const RuntimeError&) {
    return nullptr;  // no module to be found: the run goes on without a window
  }
  // Never unloaded for real: the toolkit leaves handlers behind that outlive a close.
  // Lazy binding: the toolkit has thousands of symbols and the window uses few of them.
  void* module = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
  if (!module) return nullptr;
  using OpenDisplay = void (*)(std::unique_ptr<Display>*);
  const auto open = reinterpret_cast<OpenDisplay>(::dlsym(module, "pelvaro_open_display"));
  std::unique_ptr<Display> display;
  if (open) open(&display);
  if (!display) {
    ::dlclose(module);
    return nullptr;
  }
  return std::make_unique<ModuleDisplay>(module, std::move(display));
}

}  // namespace

std::unique_ptr<Display> open_display() {
  if (x_server_reachable()) {
    if (auto display = load_display_module()) return display;
  }
  return std::make_unique<HeadlessDisplay>();
}

}  // namespace pelvaro
