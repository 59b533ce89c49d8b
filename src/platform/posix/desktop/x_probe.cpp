#include "platform/posix/desktop/x_probe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "runtime/deadline.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;

// The connection-setup reply (X11 protocol, "Connection Setup"), in the byte order asked for.
constexpr std::size_t reply_header_size = 8;
constexpr std::size_t success_fixed_size = 32;  // of a success reply's additional data
constexpr std::size_t format_size = 8;
enum SetupStatus : unsigned char { failed = 0, success = 1, authenticate = 2 };
constexpr unsigned protocol_major = 11;

bool wait_for(const FileDescriptor& socket, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd watch{socket.get(), events, 0};
    const int ready = ::poll(&watch, 1, milliseconds_left(deadline));
    if (ready == 1) return (watch.revents & events) != 0;
    if (ready == 0 || errno != EINTR) return false;
  }
}

bool connect_before(const FileDescriptor& socket, const sockaddr* address, socklen_t length,
                    Clock::time_point deadline) {
  if (::connect(socket.get(), address, length) == 0) return true;
  if (errno != EINPROGRESS && errno != EAGAIN) return false;
  if (!wait_for(socket, POLLOUT, deadline)) return false;
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Reads exactly `size` bytes before the deadline.
bool receive_all(const FileDescriptor& socket, unsigned char* into, std::size_t size,
                 Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(socket.get(), into + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
               !wait_for(socket, POLLIN, deadline)) {
      return false;
    }
  }
  return true;
}

unsigned little_endian(const unsigned char* bytes, int count) {
  unsigned value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// Whether a success reply's additional data holds what it says it holds: the vendor's name, the
// pixmap formats and at least one screen.
bool plausible_success(const std::vector<unsigned char>& data) {
  if (data.size() < success_fixed_size) return false;
  const unsigned vendor_length = little_endian(&data[16], 2);
  const unsigned screens = data[20];
  const unsigned formats = data[21];
  const std::size_t needed =
      success_fixed_size + (vendor_length + 3) / 4 * 4 + formats * format_size;
  return screens > 0 && needed <= data.size();
}

bool whole_setup_reply(const FileDescriptor& socket, Clock::time_point deadline) {
  const unsigned char request[12] = {'l', 0, protocol_major, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (::send(socket.get(), request, sizeof request, MSG_NOSIGNAL) != sizeof request) return false;
  std::array<unsigned char, reply_header_size> header{};
  if (!receive_all(socket, header.data(), header.size(), deadline)) return false;
  const unsigned char status = header[0];
  if (status != failed && status != success && status != authenticate) return false;
  if (status != authenticate && little_endian(&header[2], 2) != protocol_major) return false;
  std::vector<unsigned char> data(std::size_t{little_endian(&header[6], 2)} * 4);
  if (!receive_all(socket, data.data(), data.size(), deadline)) return false;
  if (status == failed) return header[1] <= data.size();
  return status == authenticate || plausible_success(data);
}

bool x_server_at(int domain, const sockaddr* address, socklen_t length,
                 Clock::time_point deadline) {
  const FileDescriptor socket{::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  return socket.valid() && connect_before(socket, address, length, deadline) &&
         whole_setup_reply(socket, deadline);
}

bool local_x_server_answers(const std::string& number, Clock::time_point deadline) {
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (const bool abstract : {true, false}) {  // Xlib tries the abstract name first, as here
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               path.size() + (abstract ? 0 : 1));
    if (x_server_at(AF_UNIX, reinterpret_cast<sockaddr*>(&address), length, deadline)) {
      return true;
    }
  }
  return false;
}

bool numeric_x_server_answers(const std::string& host, const std::string& number,
                              Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + std::atoi(number.c_str()));
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool answers = false;
  for (const addrinfo* a = found; a && !answers; a = a->ai_next) {
    answers = x_server_at(a->ai_family, a->ai_addr, a->ai_addrlen, deadline);
  }
  ::freeaddrinfo(found);
  return answers;
}

bool remote_x_server_answers(const std::string& host, const std::string& number,
                             Clock::time_point deadline) {
  if (host == "localhost") {  // as ssh -X names its forwarded display
    return numeric_x_server_answers("127.0.0.1", number, deadline) ||
           numeric_x_server_answers("::1", number, deadline);
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* numeric = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &numeric) != 0) {
    // A host name: looking it up can wait without any bound. The helper, which lives under the
    // deadline, finds out instead.
    return true;
  }
  ::freeaddrinfo(numeric);
  return numeric_x_server_answers(host, number, deadline);
}

}  // namespace

bool x_server_answers(Clock::time_point deadline) {
  const char* value = std::getenv("DISPLAY");
  if (!value || !*value) return false;
  const std::string display = value;
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  if (host.starts_with("unix/")) host.erase(0, 5);
  if (host.empty() || host == "unix") return local_x_server_answers(number, deadline);
  return remote_x_server_answers(host, number, deadline);
}

}  // namespace pelvaro
