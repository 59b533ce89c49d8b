#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/posix_serial_port.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[noreturn]] void fail(ErrorNumber number, const std::string& device, int error_code) {
  throw RuntimeError{number, device + ": " + std::strerror(error_code)};
}

speed_t baud_constant(std::uint32_t baud) {
  switch (baud) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    case 1152000:
      return B1152000;
    case 1500000:
      return B1500000;
    case 2000000:
      return B2000000;
    case 2500000:
      return B2500000;
    case 3000000:
      return B3000000;
    case 3500000:
      return B3500000;
    case 4000000:
      return B4000000;
    default:
      return B0;
  }
}

tcflag_t character_size(int data_bits) {
  switch (data_bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t parity_flags(Parity parity) {
  switch (parity) {
    case Parity::none:
      return 0;
    case Parity::even:
      return PARENB;
    case Parity::odd:
      return PARENB | PARODD;
    case Parity::mark:
      return PARENB | PARODD | CMSPAR;
    case Parity::space:
      return PARENB | CMSPAR;
  }
  return 0;
}

// Raw 8-bit transfer at the given line settings: no echo, no translation, no flow control, and
// the modem-control lines ignored so that a missing carrier never blocks.
termios raw_line(termios line, const LineSettings& settings, speed_t speed) {
  ::cfmakeraw(&line);
  line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  line.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  line.c_cflag |=
      CLOCAL | CREAD | character_size(settings.data_bits) | parity_flags(settings.parity);
  // With 5 data bits the UART's "two stop bits" is one and a half.
  if (settings.stop_bits != StopBits::one) line.c_cflag |= CSTOPB;
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
  ::cfsetispeed(&line, speed);
  ::cfsetospeed(&line, speed);
  return line;
}

// Drivers report back the speed they really run at, so a rate the hardware cannot do shows here.
// Data bits and parity are not compared: a pseudo-terminal always carries whole bytes and shows
// 8 bits without parity whatever it is given.
bool line_took(const termios& wanted, const termios& actual) {
  return ::cfgetospeed(&wanted) == ::cfgetospeed(&actual) &&
         (wanted.c_cflag & CSTOPB) == (actual.c_cflag & CSTOPB);
}

void require_character_device(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) fail(ErrorNumber::device_unavailable, path, errno);
  if (!S_ISCHR(status.st_mode)) {
    throw RuntimeError{ErrorNumber::not_a_serial_port, path + ": not a character device"};
  }
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(std::string path, FileDescriptor fd, const LineSettings& settings)
      : path_(std::move(path)), fd_(std::move(fd)), settings_(settings) {}

  ~PosixSerialPort() override {
    if (fd_.valid()) ::tcflush(fd_.get(), TCOFLUSH);  // so that the close cannot wait on output
  }

  void write(std::span<const std::byte> bytes) override {
    const auto deadline = Clock::now() + write_timeout;
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
      if (written > 0) {
        bytes = bytes.subspan(static_cast<std::size_t>(written));
        written_since_open_ += static_cast<std::size_t>(written);
      } else if (written < 0 && errno == EINTR) {
        continue;
      } else if (written < 0 && errno != EAGAIN) {
        fail(ErrorNumber::write_failed, path_, errno);
      } else {
        wait_for_room(deadline);
      }
    }
  }

  void drain_and_close() override {
    const bool drained = wait_until_drained();
    const int drain_error = errno;
    if (!drained) ::tcflush(fd_.get(), TCOFLUSH);  // so that closing cannot wait on what is stuck
    const int close_result = fd_.reset();
    const int close_error = errno;
    if (!drained) fail(ErrorNumber::output_not_drained, path_, drain_error);
    if (close_result != 0) fail(ErrorNumber::write_failed, path_, close_error);
  }

 private:
  void wait_for_room(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left <= milliseconds::zero()) fail(ErrorNumber::write_failed, path_, ETIMEDOUT);
    pollfd watch{fd_.get(), POLLOUT, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) fail(ErrorNumber::write_failed, path_, errno);
    if (ready > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      fail(ErrorNumber::write_failed, path_, EIO);
    }
  }

  // Waits until the driver's output queue is empty, then for the UART itself. The queue is polled
  // against a deadline because a blocking drain can wait forever on a stuck line; the final
  // drain only covers the hardware FIFO, which drivers bound themselves. Sets errno and returns
  // false on failure.
  bool wait_until_drained() {
    const auto deadline = Clock::now() + drain_limit(written_since_open_, settings_);
    for (;;) {
      int queued = 0;
      if (::ioctl(fd_.get(), TIOCOUTQ, &queued) != 0) return false;
      if (queued == 0) break;
      if (Clock::now() >= deadline) {
        errno = ETIMEDOUT;
        return false;
      }
      std::this_thread::sleep_for(std::min(milliseconds{1}, time_on_line(queued, settings_)));
    }
    while (::tcdrain(fd_.get()) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

  std::string path_;
  FileDescriptor fd_;
  LineSettings settings_;
  std::size_t written_since_open_ = 0;
};

void lock_exclusively(const FileDescriptor& fd, const std::string& path) {
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) throw RuntimeError{ErrorNumber::port_in_use, path};
    fail(ErrorNumber::device_unavailable, path, errno);
  }
  if (::ioctl(fd.get(), TIOCEXCL) != 0) fail(ErrorNumber::device_unavailable, path, errno);
}

void apply_line_settings(const FileDescriptor& fd, const std::string& path,
                         const LineSettings& settings) {
  const speed_t speed = baud_constant(settings.baud);
  if (speed == B0) {
    throw RuntimeError{ErrorNumber::line_settings_refused,
                       path + ": " + std::to_string(settings.baud) + " baud is not supported"};
  }
  termios current{};
  if (::tcgetattr(fd.get(), &current) != 0) {
    // Only a terminal device takes line settings; nothing is written to anything else.
    if (errno == ENOTTY || errno == EINVAL) fail(ErrorNumber::not_a_serial_port, path, errno);
    fail(ErrorNumber::device_unavailable, path, errno);
  }
  const termios wanted = raw_line(current, settings, speed);
  termios actual{};
  if (::tcsetattr(fd.get(), TCSANOW, &wanted) != 0 || ::tcgetattr(fd.get(), &actual) != 0) {
    fail(ErrorNumber::line_settings_refused, path, errno);
  }
  if (!line_took(wanted, actual)) {
    throw RuntimeError{ErrorNumber::line_settings_refused, path};
  }
}

}  // namespace

std::string serial_device_name(int port_number) {
  return "/dev/ttyS" + std::to_string(port_number - 1);
}

std::unique_ptr<SerialPort> open_serial_device(const std::string& path,
                                               const LineSettings& settings) {
  // Checked before opening: opening some devices has effects of its own.
  require_character_device(path);
  FileDescriptor fd{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  if (!fd.valid()) {
    if (errno == EBUSY) throw RuntimeError{ErrorNumber::port_in_use, path};
    fail(ErrorNumber::device_unavailable, path, errno);
  }
  if (!::isatty(fd.get())) fail(ErrorNumber::not_a_serial_port, path, ENOTTY);
  lock_exclusively(fd, path);
  apply_line_settings(fd, path, settings);
  return std::make_unique<PosixSerialPort>(path, std::move(fd), settings);
}

std::unique_ptr<SerialPort> open_serial_port(int port_number, const LineSettings& settings) {
  return open_serial_device(serial_device_name(port_number), settings);
}

}  // namespace pelvaro
