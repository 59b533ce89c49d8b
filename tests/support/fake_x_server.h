#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/posix/file_descriptor.h"

namespace pelvaro::testing {

// An X server that is not well: a socket at /tmp/.X11-unix/X<n> that accepts connections and then
// misbehaves in one of the ways a desktop does in the field. Ends with this object.
class FakeXServer {
 public:
  enum class Behaviour {
    garbage,            // answers the connection setup with 64 bytes of garbage
    half_setup,         // sends a valid 8-byte reply header, then nothing ever again
    stall_after_setup,  // forwards to a real server until its setup reply is through, then stalls
  };

  // `real_display` (e.g. ":3") is the server a stalling proxy forwards to.
  explicit FakeXServer(Behaviour behaviour, const std::string& real_display = {});
  FakeXServer(const FakeXServer&) = delete;
  FakeXServer& operator=(const FakeXServer&) = delete;
  ~FakeXServer();

  const std::string& display() const { return display_; }

 private:
  void serve();
  void misbehave(int client);

  Behaviour behaviour_;
  std::string real_socket_;
  std::string path_;
  std::string display_;
  FileDescriptor listener_;
  FileDescriptor stop_read_;
  FileDescriptor stop_write_;
  std::thread server_;
};

}  // namespace pelvaro::testing
