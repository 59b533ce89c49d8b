#include "support/fake_x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace pelvaro::testing {

namespace {

constexpr int first_number = 640;  // well above what Xvfb -displayfd hands out here
constexpr int last_number = 699;

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

FileDescriptor connect_to(const std::string& path) {
  FileDescriptor socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  const sockaddr_un address = address_of(path);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot reach the real X server at " + path);
  }
  return socket;
}

// Copies what is waiting on `from` to `to`; false once `from` has closed.
bool forward(int from, int to, std::size_t& forwarded) {
  char buffer[65536];
  const ssize_t n = ::read(from, buffer, sizeof buffer);
  if (n <= 0) return false;
  if (::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return false;
  forwarded += static_cast<std::size_t>(n);
  return true;
}

// The length of the setup reply that starts in `header`, as the reply says (little-endian).
std::size_t setup_reply_length(const unsigned char* header) {
  return 8 + 4 * std::size_t{static_cast<unsigned>(header[6] | header[7] << 8)};
}

}  // namespace

FakeXServer::FakeXServer(Behaviour behaviour, const std::string& real_display)
    : behaviour_(behaviour) {
  if (!real_display.empty()) real_socket_ = "/tmp/.X11-unix/X" + real_display.substr(1);
  std::filesystem::create_directories("/tmp/.X11-unix");
  for (int number = first_number; number <= last_number && !listener_.valid(); ++number) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    if (std::filesystem::exists(path)) continue;
    FileDescriptor socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    const sockaddr_un address = address_of(path);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      continue;
    }
    ::listen(socket.get(), 16);
    listener_ = std::move(socket);
    path_ = path;
    display_ = std::string{":"}.append(std::to_string(number));
  }
  if (!listener_.valid()) throw std::runtime_error("no free X display number for a fake server");
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  stop_read_ = FileDescriptor{stop[0]};
  stop_write_ = FileDescriptor{stop[1]};
  server_ = std::thread{[this] { serve(); }};
}

FakeXServer::~FakeXServer() {
  stop_write_.reset();  // the server thread sees the pipe close
  server_.join();
  std::filesystem::remove(path_);
}

void FakeXServer::serve() {
  std::vector<FileDescriptor> clients;
  std::vector<std::thread> proxies;
  for (;;) {
    pollfd watch[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (::poll(watch, 2, -1) < 0) continue;
    if (watch[1].revents) break;
    FileDescriptor client{::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)};
    if (!client.valid()) continue;
    if (behaviour_ == Behaviour::stall_after_setup) {
      proxies.emplace_back([this, fd = client.get()] { misbehave(fd); });
    } else {
      misbehave(client.get());
    }
    clients.push_back(std::move(client));  // kept open: the program sees no end, only silence
  }
  for (auto& proxy : proxies) proxy.join();  // each sees the stop too
}

void FakeXServer::misbehave(int client) {
  char request[12];
  switch (behaviour_) {
    case Behaviour::garbage: {
      (void)::read(client, request, sizeof request);
      unsigned char noise[64];
      for (std::size_t i = 0; i < sizeof noise; ++i)
        noise[i] = static_cast<unsigned char>(i * 37 + 1);
      (void)::send(client, noise, sizeof noise, MSG_NOSIGNAL);
      break;
    }
    case Behaviour::half_setup: {
      (void)::read(client, request, sizeof request);
      const unsigned char header[8] = {1, 0, 11, 0, 0, 0, 0x53, 0x09};  // 9548 bytes to follow
      (void)::send(client, header, sizeof header, MSG_NOSIGNAL);
      break;
    }
    case Behaviour::stall_after_setup: {
      // Forwards both ways until the server's whole setup reply has gone to the client, then
      // stops reading either side: the client waits for its first answer for ever.
      FileDescriptor server;
      try {
        server = connect_to(real_socket_);
      } catch (const std::exception&) {
        return;
      }
      std::size_t to_client = 0;
      std::size_t to_server = 0;
      std::size_t reply_length = 0;
      unsigned char header[8];
      for (;;) {
        pollfd watch[3] = {
            {client, POLLIN, 0}, {server.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
        if (::poll(watch, 3, -1) <= 0 || watch[2].revents) return;
        if (watch[0].revents && !forward(client, server.get(), to_server)) return;
        if (watch[1].revents) {
          if (reply_length == 0 &&
              ::recv(server.get(), header, sizeof header, MSG_PEEK) == sizeof header) {
            reply_length = setup_reply_length(header);
          }
          if (!forward(server.get(), client, to_client)) return;
        }
        if (reply_length > 0 && to_client >= reply_length) break;
      }
      pollfd stop{stop_read_.get(), POLLIN, 0};
      ::poll(&stop, 1, -1);  // silent until the fake server goes; then the connection closes
      break;
    }
  }
}

}  // namespace pelvaro::testing
