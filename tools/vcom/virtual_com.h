#pragma once

// Virtual COM ports: pseudo-terminals that stand in for serial ports, and a way to run a program
// that sees them at the kernel's serial device names (/dev/ttyS0 for COM1 and so on), without any
// serial hardware and without touching the machine's own /dev.

#include <termios.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/posix/file_descriptor.h"

namespace vcom {

using pelvaro::FileDescriptor;

// A pseudo-terminal pair standing in for COMn. The test side keeps both ends open, so the line
// keeps its settings between runs and never hangs up.
class VirtualPort {
 public:
  explicit VirtualPort(int com);
  // A pseudo-terminal standing in for a USB serial adapter at /dev/`adapter_device` (ttyUSB0, say)
  // that a udev rule names COMn: the link /dev/COMn leads to it.
  VirtualPort(int com, std::string adapter_device);

  int com() const { return com_; }
  std::string device_name() const {
    return adapter_device_.empty() ? "ttyS" + std::to_string(com_ - 1) : adapter_device_;
  }
  // The link to the device, or the empty text for a port at its kernel's name.
  std::string link_name() const {
    return adapter_device_.empty() ? std::string{} : "COM" + std::to_string(com_);
  }
  const std::string& pty_path() const { return pty_path_; }

  // Puts the line at settings unlike those a sender should choose (1200 baud, 2 stop bits, cooked),
  // so that a test sees what the sender changed.
  void preset_foreign_settings();
  // The line settings as the line now has them.
  termios line() const;
  // Everything that has arrived since the last call.
  std::string take_received();
  // Keeps what has arrived by now for the next take_received; true if anything had.
  bool collect();
  int master_fd() const { return master_.get(); }
  // Takes back an exclusive mode that a program left on the line (TIOCEXCL without TIOCNXCL):
  // this side holds the terminal open, so the mode would outlive that program.
  void clear_exclusive_mode() const;

 private:
  int com_;
  std::string adapter_device_;
  std::string received_;
  FileDescriptor master_;
  FileDescriptor slave_;
  std::string pty_path_;
};

// One fresh virtual port for each of the given COM numbers.
inline std::vector<VirtualPort> virtual_ports(std::initializer_list<int> coms) {
  return {coms.begin(), coms.end()};
}

struct ProcessResult {
  int exit_status = -1;  // the exit code, or 128 + signal
  bool timed_out = false;
  std::string standard_output;
  std::string standard_error;
  std::chrono::nanoseconds elapsed{};  // from the start to the end of the program
  // For each watched port, when its first byte arrived, counted from the start.
  std::vector<std::optional<std::chrono::nanoseconds>> first_byte;
  long peak_memory_kib = 0;  // the program's largest resident set
};

// Raised when this machine does not let us make a private mount namespace (not root, or a
// sandbox that forbids it).
class NamespaceUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs `argv` (argv[0] a path) in a private mount namespace whose /dev holds the ports'
// devices, bound to their pseudo-terminals, the adapters' COM links, and null, zero, random and
// urandom, and whose /run/lock (where serial tools keep their UUCP lock files) is `lock_directory`,
// or an empty directory if none is given. A program that does not end within `timeout` is killed.
ProcessResult run_with_ports(std::span<VirtualPort> ports, const std::vector<std::string>& argv,
                             std::chrono::milliseconds timeout,
                             const std::vector<std::string>& environment = {},
                             const std::filesystem::path& lock_directory = {});

// Runs `argv` (argv[0] a path) as it is, without a namespace of its own, noting when the first
// byte arrives on each of `watched`.
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          const std::vector<std::string>& environment = {},
                          std::span<VirtualPort> watched = {});

// Moves the calling process for good into a private mount namespace whose /dev holds the ports'
// devices, as run_with_ports gives its program: for a runner that starts many programs.
void enter_private_devices(std::span<VirtualPort> ports);

// Why run_with_ports cannot work on this machine, or the empty text if it can.
std::string namespace_unavailable_reason();

// What a pseudo-terminal shows of the line settings it was given: "9600 baud, 1 stop bit, raw".
// Data bits and parity are not among them: a pseudo-terminal carries whole bytes and reports 8
// bits without parity whatever it is given.
std::string describe_line(const termios& line);

}  // namespace vcom
