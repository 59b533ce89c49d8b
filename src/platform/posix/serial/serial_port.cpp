#include <fcntl.h>
#include <limits.h>
#include <linux/major.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/serial/held_signals.h"
#include "platform/posix/serial/interrupt_timer.h"
#include "platform/posix/serial/serial_device.h"
#include "platform/posix/serial/termios_settings.h"
#include "runtime/deadline.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[noreturn]] void fail(ErrorNumber number, const std::string& device, int error_code) {
  throw RuntimeError{number, device + ": " + std::strerror(error_code)};
}

// Drivers report back the speed they really run at, so a rate the hardware cannot do shows here.
// Data bits and parity are not compared: a pseudo-terminal always carries whole bytes and shows
// 8 bits without parity whatever it is given.
bool line_took(const termios& wanted, const termios& actual) {
  return ::cfgetospeed(&wanted) == ::cfgetospeed(&actual) &&
         (wanted.c_cflag & CSTOPB) == (actual.c_cflag & CSTOPB);
}

[[noreturn]] void refuse_pseudo_terminal_master(const std::string& path) {
  throw RuntimeError{ErrorNumber::not_a_serial_port,
                     path + ": the master side of a pseudo-terminal, not a serial line"};
}

// A pseudo-terminal's master side takes bytes as a line would, but leads to no device: opening
// /dev/ptmx (or a devpts mount's own ptmx) makes a new pair that nobody reads. Its device number
// tells it before anything is opened.
bool is_pseudo_terminal_master(dev_t device) {
  const unsigned int major_number = major(device);
  return (major_number == TTYAUX_MAJOR && minor(device) == 2) || major_number == PTY_MASTER_MAJOR ||
         (major_number >= UNIX98_PTY_MASTER_MAJOR &&
          major_number < UNIX98_PTY_MASTER_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

// Refuses what is not a character device, or is one that leads to no line; returns whether
// `path` is a link to one (a udev name for an adapter). The device node itself, the usual case,
// takes a single look.
bool require_character_device(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) fail(ErrorNumber::device_unavailable, path, errno);
  const bool link = S_ISLNK(status.st_mode);
  if (link && ::stat(path.c_str(), &status) != 0) {
    fail(ErrorNumber::device_unavailable, path, errno);
  }
  if (!S_ISCHR(status.st_mode)) {
    throw RuntimeError{ErrorNumber::not_a_serial_port, path + ": not a character device"};
  }
  if (is_pseudo_terminal_master(status.st_rdev)) refuse_pseudo_terminal_master(path);
  return link;
}

// Serial tools on Linux announce that they use a port with a UUCP lock file, LCK..ttyS2 for
// /dev/ttyS2, holding their process ID in ASCII. pelvaro only honours those files; it writes none.
constexpr std::string_view lock_directory = "/run/lock";

// The process ID a lock file names, or nothing if there is no such file or it names none.
// A lock file is a plain file that a tool wrote: a link there is not followed, as opening what it
// leads to (a device, a file on a stalled network file system) could act or wait before any of the
// port's own checks and bounds.
std::optional<pid_t> lock_owner(const std::string& lock_path) {
  FileDescriptor file{
      ::open(lock_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC)};
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  std::array<char, 32> text{};
  ssize_t got = -1;
  do {
    got = ::read(file.get(), text.data(), text.size());
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return std::nullopt;
  const char* first = text.data();
  const char* const last = text.data() + got;
  while (first < last && (*first == ' ' || *first == '\t' || *first == '\n' || *first == '\r')) {
    ++first;
  }
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(first, last, pid);
  if (error != std::errc{} || end == first || pid <= 0) return std::nullopt;
  return pid;
}

// The fields of /proc/PID/stat after the command's name, which is in parentheses and may itself
// hold spaces and parentheses: the state letter first (the stat's third field). Empty where /proc
// cannot tell.
std::vector<std::string> process_stat_fields(pid_t pid) {
  const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
  const FileDescriptor file{::open(stat_path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (!file.valid()) return {};
  // The name is at most 15 bytes: the fields up to the number of threads fit well within this.
  std::array<char, 512> text{};
  ssize_t got = -1;
  do {
    got = ::read(file.get(), text.data(), text.size());
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return {};
  std::string_view rest{text.data(), static_cast<std::size_t>(got)};
  const std::size_t name_end = rest.rfind(')');
  if (name_end == std::string_view::npos) return {};
  rest.remove_prefix(name_end + 1);
  std::vector<std::string> fields;
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    fields.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  return fields;
}

// Whether /proc shows the process as ended but not yet collected by its parent (a zombie, or one
// on its way out). Its first thread's state alone does not tell: a program whose main thread has
// ended shows that thread as a zombie while its other threads go on and hold the port, so the
// process counts as ended only with no thread but that one. False where /proc cannot tell.
bool process_has_ended_uncollected(pid_t pid) {
  const std::vector<std::string> fields = process_stat_fields(pid);
  constexpr std::size_t state_field = 0;
  constexpr std::size_t threads_field = 17;  // the stat's twentieth field, num_threads
  if (fields.size() <= threads_field) return false;
  const std::string& state = fields[state_field];
  return (state == "Z" || state == "X") && fields[threads_field] == "1";
}

// A process that has ended answers kill() until its parent collects it: /proc tells those apart.
bool process_is_alive(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  return !process_has_ended_uncollected(pid);
}

std::string lock_name(const std::string& device_path) {
  return std::string{lock_directory} + "/LCK.." +
         device_path.substr(device_path.find_last_of('/') + 1);
}

// Refuses a port whose lock file names a live process other than this one. A lock file left by a
// process that has ended is ignored. A link (a udev name for an adapter) is checked under its own
// name and under the device's.
void refuse_if_locked(const std::string& path, bool link) {
  std::vector<std::string> names{lock_name(path)};
  std::array<char, PATH_MAX> resolved{};
  if (link && ::realpath(path.c_str(), resolved.data()) && lock_name(resolved.data()) != names[0]) {
    names.push_back(lock_name(resolved.data()));
  }
  for (const std::string& name : names) {
    const std::optional<pid_t> owner = lock_owner(name);
    if (owner && *owner != ::getpid() && process_is_alive(*owner)) {
      throw RuntimeError{ErrorNumber::port_in_use, path + ": locked by process " +
                                                       std::to_string(*owner) + " (" + name + ")"};
    }
  }
}

using Bound = InterruptTimer::Bound;

// One pause of at most `span`, which any signal cuts short, so that the caller looks at its
// deadline again. Not std::this_thread::sleep_for: it sleeps again after each signal for the time
// the kernel reports as left, which can exceed what was left, so that a stream of signals would
// keep it sleeping past any deadline.
void pause_for(std::chrono::nanoseconds span) {
  timespec until{};
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  const auto total =
      std::chrono::seconds{until.tv_sec} + std::chrono::nanoseconds{until.tv_nsec} + span;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(total);
  until = {static_cast<time_t>(seconds.count()), static_cast<long>((total - seconds).count())};
  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// A tty that pelvaro may hold exclusively: the exclusive mode is given back before every close,
// since the tty keeps it for as long as anybody has it open, and would lock every later open by a
// normal user out for as long as another program holds the port. It owns the one timer that
// bounds every wait on it, from its open to its close.
class TtyDevice {
 public:
  TtyDevice() = default;
  TtyDevice(TtyDevice&&) noexcept = default;
  TtyDevice& operator=(TtyDevice&&) = delete;
  TtyDevice(const TtyDevice&) = delete;
  TtyDevice& operator=(const TtyDevice&) = delete;
  ~TtyDevice() { release(); }

  // Closes within release_limit, or the bound that is on if that ends first.
  void release() {
    if (!fd_.valid()) return;
    const Bound bound = bound_until(Clock::now() + release_limit);
    close();
  }

  // A bound on the waits on this device until `deadline`, nested in any bound that is on.
  Bound bound_until(Clock::time_point deadline) { return Bound{*timer_, deadline}; }

  // Takes the opened tty, which must happen within a bound when the open can wait.
  void attach(FileDescriptor fd) { fd_ = std::move(fd); }

  // Discards what is still on its way, so that closing does not wait on it, and closes. Only a
  // port that is pelvaro's does this: the output queue belongs to the tty, and a refused port's
  // holder may have output in it.
  void discard_and_close() {
    if (!fd_.valid()) return;
    const Bound bound = bound_until(Clock::now() + release_limit);
    ::tcflush(fd_.get(), TCOFLUSH);
    close();
  }

  int get() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }

  // From here to the close neither a signal nor job control ends or stops the run. Not before: a
  // run still waiting for its turn holds nothing that could be left behind, and one told to end
  // then ends without sending.
  void take_exclusively(const std::string& path) {
    path_ = path;
    signals_held_back_ = std::make_unique<SignalsHeldBack>();
    if (::ioctl(fd_.get(), TIOCEXCL) != 0) fail(ErrorNumber::device_unavailable, path, errno);
    exclusive_ = true;
  }

  // Whether the last close found the line hung up.
  bool found_hung_up() const { return found_hung_up_; }

  // Closes now; returns close()'s result, with errno telling why it failed.
  int close() {
    if (exclusive_) found_hung_up_ = !give_back_exclusive_mode();
    exclusive_ = false;
    const int result = fd_.reset();
    signals_held_back_.reset();
    return result;
  }

 private:
  // A line that was hung up (vhangup, as getty and login do) fails every request on the
  // descriptors it had, this one too, and the tty keeps the mode for as long as anybody has it
  // open. A new descriptor on the same device can clear it; the kernel grants one while the mode
  // is on only to a process that may open an exclusive tty (root), so for another user the mode
  // stays until the last program that has the tty open closes it.
  // Returns false when it found the line hung up.
  bool give_back_exclusive_mode() const {
    if (::ioctl(fd_.get(), TIOCNXCL) == 0 || errno != EIO) return true;
    const FileDescriptor again{::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (again.valid() && same_device(fd_.get(), again.get())) ::ioctl(again.get(), TIOCNXCL);
    return false;
  }

  static bool same_device(int fd, int other_fd) {
    struct stat first {};
    struct stat second {};
    return ::fstat(fd, &first) == 0 && ::fstat(other_fd, &second) == 0 && S_ISCHR(second.st_mode) &&
           first.st_rdev == second.st_rdev;
  }

  // Declared first, so that they go only after the descriptor. The timer is on the heap so that
  // a bound on it stays valid when the device moves into its port.
  std::unique_ptr<SignalsHeldBack> signals_held_back_;
  std::unique_ptr<InterruptTimer> timer_ = std::make_unique<InterruptTimer>();
  FileDescriptor fd_;
  std::string path_;
  bool exclusive_ = false;
  bool found_hung_up_ = false;
};

// Whether the line status register tells when the last bit has left: only on a port of the
// kernel's 8250 driver (the PC's UARTs and their kin), where it is read from the chip itself.
// Those are the ttyS devices: major 4 (TTY_MAJOR) from minor 64 up; the minors below 64 of that
// major are the virtual consoles. Other drivers answer the question too, but a USB adapter's
// "transmitter empty" is the adapter's own claim, which emulations and clone chips do not all
// make (ftdi_sio under QEMU never shows it): on those, as on every other tty, the driver's own
// drain decides.
bool line_status_tells_the_last_bit(dev_t device) {
  return major(device) == TTY_MAJOR && minor(device) >= 64;
}

// The device number of the open tty, asked once at the open for both questions below; nothing
// where it cannot be told.
std::optional<dev_t> device_number(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return std::nullopt;
  return status.st_rdev;
}

// A tty whose drain is its driver's can report an empty queue when its device has gone: a USB
// driver's drain ends once its write request has ended, sent or failed, and when the device goes
// the request fails at once, while the USB core handles the disconnect, and hangs the tty up, a
// moment later. So once the drain has ended, a USB serial tty's device is asked something, where
// its driver lets a request reach it: a device that answers was there after the write had ended.
// Where no request reaches the device, the tty is watched for the USB core's disconnect.
enum class DeviceCheck {
  none,          // not a USB serial tty: a hang-up is all there is to see
  break_off,     // cdc_acm: "break off" goes to the device (nothing changes on a line not in break)
  modem_status,  // ftdi_sio, cp210x: the modem status is read from the device
  disconnect_watch  // other usb-serial drivers, which answer from what they hold
};

// usb-serial's ttyUSB; cdc_acm's ttyACM is USB_ACM_MAJOR.
constexpr unsigned int usb_serial_major = 188;

// The name of the driver of a usb-serial tty, from sysfs ("ftdi_sio"), or the empty text.
std::string usb_serial_driver_name(dev_t device) {
  const std::string link = "/sys/dev/char/" + std::to_string(major(device)) + ":" +
                           std::to_string(minor(device)) + "/device/driver";
  std::array<char, PATH_MAX> target{};
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
  if (length <= 0) return {};
  const std::string_view path{target.data(), static_cast<std::size_t>(length)};
  return std::string{path.substr(path.find_last_of('/') + 1)};
}

DeviceCheck device_check_after_drain(dev_t device) {
  if (major(device) == USB_ACM_MAJOR) return DeviceCheck::break_off;
  if (major(device) != usb_serial_major) return DeviceCheck::none;
  const std::string driver = usb_serial_driver_name(device);
  return driver == "ftdi_sio" || driver == "cp210x" ? DeviceCheck::modem_status
                                                    : DeviceCheck::disconnect_watch;
}

// How long a USB serial tty whose device cannot be asked is watched for the USB core's disconnect
// once its drain has ended. A root port reports the disconnect as the write fails (1-7 ms later
// under emulation); a hub reports it when the host next polls it, every 256 ms at most on a USB 2.0
// hub. Taken from the release time, which it leaves room in.
constexpr milliseconds usb_disconnect_window{300};
static_assert(usb_disconnect_window < release_limit);

enum class Answer { answered, cannot_ask, gone };

// A request that the driver sends to the device: a refusal (a stall) is an answer too. Like the
// DTR drop that closing sends to a USB device, it is not cut short by the timer: the USB core gives
// up on a device that does not answer after 5 s; one that is unplugged fails it at once.
Answer device_answer(int result) {
  if (result == 0 || errno == EPIPE) return Answer::answered;
  if (errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP) return Answer::cannot_ask;
  return Answer::gone;  // EIO (hung up), ENODEV, EPROTO, ETIMEDOUT, ESHUTDOWN...
}

Answer ask_device(int fd, DeviceCheck check) {
  int lines = 0;
  switch (check) {
    case DeviceCheck::break_off:
      return device_answer(::ioctl(fd, TIOCCBRK));
    case DeviceCheck::modem_status:
      return device_answer(::ioctl(fd, TIOCMGET, &lines));
    case DeviceCheck::none:
    case DeviceCheck::disconnect_watch:
      break;
  }
  return Answer::cannot_ask;
}

// Whether the descriptor shows the line gone: hung up (its device went, or the other side of a
// pseudo-terminal closed) or failed. Waits up to `window` for that.
bool shows_line_gone(int fd, milliseconds window, const Bound& bound) {
  const auto end = Clock::now() + window;
  for (;;) {
    pollfd watch{fd, 0, 0};  // no events asked for: only a hang-up or an error is reported
    const int ready = ::poll(&watch, 1, milliseconds_left(end));
    if (ready >= 0) return ready > 0;
    // Cut short by the bound: whether the line went cannot be told, so it is not taken as there.
    if (errno != EINTR || bound.passed()) return true;
  }
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(std::string path, TtyDevice device, const LineSettings& settings)
      : path_(std::move(path)), device_(std::move(device)), settings_(settings) {
    const std::optional<dev_t> number = device_number(device_.get());
    uart_tells_the_last_bit_ = number && line_status_tells_the_last_bit(*number);
    device_check_ =
        number && !uart_tells_the_last_bit_ ? device_check_after_drain(*number) : DeviceCheck::none;
  }

  ~PosixSerialPort() override { device_.discard_and_close(); }

  void write(std::span<const std::byte> bytes) override {
    const auto deadline = Clock::now() + write_timeout;
    while (!bytes.empty()) {
      const ssize_t written = ::write(device_.get(), bytes.data(), bytes.size());
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
    // A port that took none of the bytes (its write found no room) holds none of them to wait for.
    const bool wrote = written_since_open_ > 0;
    const auto deadline =
        Clock::now() + (wrote ? drain_limit(written_since_open_, settings_) : milliseconds::zero());
    Bound bound = device_.bound_until(wrote ? deadline : Clock::now() + release_limit);
    const int drain_error = wrote ? wait_until_drained(bound) : 0;
    // Giving the port back has release_limit from here, or what is left of the drain's time.
    if (wrote) bound.move_deadline(std::max(deadline, Clock::now() + release_limit));
    const bool gone = wrote && drain_error == 0 && line_went_during_drain(bound);
    if (drain_error != 0) ::tcflush(device_.get(), TCOFLUSH);  // so that closing cannot wait on it
    const int close_result = device_.close();
    const int close_error = errno;
    if (gone || (wrote && drain_error == 0 && device_.found_hung_up())) {
      throw RuntimeError{ErrorNumber::output_not_drained,
                         path_ + ": the device went away before its output was sent"};
    }
    if (drain_error != 0) fail(ErrorNumber::output_not_drained, path_, drain_error);
    if (close_result != 0) fail(ErrorNumber::write_failed, path_, close_error);
  }

 private:
  void wait_for_room(Clock::time_point deadline) {
    const int left = milliseconds_left(deadline);
    if (left == 0) fail(ErrorNumber::write_failed, path_, ETIMEDOUT);
    pollfd watch{device_.get(), POLLOUT, 0};
    const int ready = ::poll(&watch, 1, left);
    if (ready < 0 && errno != EINTR) fail(ErrorNumber::write_failed, path_, errno);
    if (ready > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      fail(ErrorNumber::write_failed, path_, EIO);
    }
  }

  // Waits, against one deadline, until the driver's output queue is empty and then until the
  // UART has sent its last bit. Each question to the driver can wait on it, so all of them are
  // interrupted at the deadline. Returns 0, or the error number of what went wrong.
  int wait_until_drained(const Bound& bound) {
    if (!bound.armed()) return bound.refusal();  // an unbounded wait is no option
    for (;;) {
      int queued = 0;
      if (::ioctl(device_.get(), TIOCOUTQ, &queued) != 0) {
        if (interrupted_before(bound)) continue;
        return error_at(bound);
      }
      if (queued == 0) return wait_for_transmitter(bound);
      if (bound.passed()) return ETIMEDOUT;
      pause_for(drain_poll_interval);
    }
  }

  // The UART's own FIFO and shift register: read from its line status on the 8250 family, else
  // left to the driver's drain.
  int wait_for_transmitter(const Bound& bound) {
    if (!uart_tells_the_last_bit_) return driver_drain(bound);
    for (;;) {
      unsigned int line_status = 0;
      if (::ioctl(device_.get(), TIOCSERGETLSR, &line_status) != 0) {
        if (errno == ENOTTY || errno == EINVAL) return driver_drain(bound);
        if (interrupted_before(bound)) continue;
        return error_at(bound);
      }
      if (line_status & TIOCSER_TEMT) return 0;
      if (bound.passed()) return ETIMEDOUT;
      pause_for(drain_poll_interval);
    }
  }

  int driver_drain(const Bound& bound) {
    while (::tcdrain(device_.get()) != 0) {
      if (!interrupted_before(bound)) return error_at(bound);
    }
    return 0;
  }

  // Where the driver's drain is the rule, its empty queue may also mean that the device went (see
  // DeviceCheck): the line must still be there once it has ended. On the 8250 family the last bit
  // was seen leaving the chip itself.
  bool line_went_during_drain(const Bound& bound) const {
    if (uart_tells_the_last_bit_) return false;
    const int fd = device_.get();
    if (shows_line_gone(fd, milliseconds::zero(), bound)) return true;
    const Answer answer = ask_device(fd, device_check_);
    if (answer != Answer::cannot_ask) return answer == Answer::gone;
    if (device_check_ == DeviceCheck::none) return false;
    return shows_line_gone(fd, usb_disconnect_window, bound);
  }

  // A call interrupted by some other signal before the deadline is made again.
  static bool interrupted_before(const Bound& bound) { return errno == EINTR && !bound.passed(); }

  static int error_at(const Bound& bound) {
    return errno == EINTR && bound.passed() ? ETIMEDOUT : errno;
  }

  std::string path_;
  TtyDevice device_;
  LineSettings settings_;
  bool uart_tells_the_last_bit_ = false;  // asked at the open, so that the drain starts at once
  DeviceCheck device_check_ = DeviceCheck::none;
  std::size_t written_since_open_ = 0;
};

// Waits for the advisory lock until the turn ends: runs of pelvaro on one port queue on it, each
// holding it for a few milliseconds. A lock held past the turn is another program's: refused.
void wait_for_advisory_lock(TtyDevice& device, const std::string& path,
                            Clock::time_point turn_end) {
  if (::flock(device.get(), LOCK_EX | LOCK_NB) == 0) return;
  if (errno != EWOULDBLOCK) fail(ErrorNumber::device_unavailable, path, errno);
  // Nested in the open's bound: interrupted at the turn's end, or at the open's if that is first.
  const Bound bound = device.bound_until(turn_end);
  while (::flock(device.get(), LOCK_EX) != 0) {
    if (errno != EINTR) fail(ErrorNumber::device_unavailable, path, errno);
    if (bound.passed()) throw RuntimeError{ErrorNumber::port_in_use, path + ": locked"};
  }
}

// The advisory lock, then the tty's own exclusive mode. A tty that is exclusive already belongs
// to another program, also when root could open it regardless.
void lock_exclusively(TtyDevice& device, const std::string& path, Clock::time_point turn_end) {
  wait_for_advisory_lock(device, path, turn_end);
  int already_exclusive = 0;
  if (::ioctl(device.get(), TIOCGEXCL, &already_exclusive) == 0 && already_exclusive) {
    throw RuntimeError{ErrorNumber::port_in_use, path + ": held exclusively by another program"};
  }
  device.take_exclusively(path);
}

// Opens the tty without waiting for a carrier; an open that the driver holds is interrupted at
// the open's bound.
FileDescriptor open_tty(const std::string& path) {
  FileDescriptor fd{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  if (!fd.valid()) {
    if (errno == EBUSY) throw RuntimeError{ErrorNumber::port_in_use, path};
    fail(ErrorNumber::device_unavailable, path, errno == EINTR ? ETIMEDOUT : errno);
  }
  return fd;
}

// The line's settings as they were when it was opened, of which pelvaro changes only its own.
// Only a terminal device has them, and of those a pseudo-terminal's master side leads to no line:
// anything else is refused here, before it is locked or written to.
termios settings_at_open(const TtyDevice& device, const std::string& path) {
  termios current{};
  if (::tcgetattr(device.get(), &current) != 0) {
    if (errno == ENOTTY || errno == EINVAL) fail(ErrorNumber::not_a_serial_port, path, errno);
    fail(ErrorNumber::device_unavailable, path, errno);
  }
  // Only a master side has a pseudo-terminal number to give: this catches a name that led to one
  // only by the time it was opened.
  unsigned int pty_number = 0;
  if (::ioctl(device.get(), TIOCGPTN, &pty_number) == 0) refuse_pseudo_terminal_master(path);
  return current;
}

void apply_line_settings(const TtyDevice& device, const std::string& path,
                         const LineSettings& settings, const termios& current) {
  const speed_t speed = baud_constant(settings.baud);
  if (speed == B0) {
    throw RuntimeError{ErrorNumber::line_settings_refused,
                       path + ": " + std::to_string(settings.baud) + " baud is not supported"};
  }
  const termios wanted = raw_line(current, settings, speed);
  termios actual{};
  if (::tcsetattr(device.get(), TCSANOW, &wanted) != 0 || ::tcgetattr(device.get(), &actual) != 0) {
    // Only the open's bound interrupts it: its timer fires at the deadline, not before.
    fail(ErrorNumber::line_settings_refused, path, errno == EINTR ? ETIMEDOUT : errno);
  }
  if (!line_took(wanted, actual)) {
    throw RuntimeError{ErrorNumber::line_settings_refused, path};
  }
}

// One try at the port. Another program's hold on it refuses it at once (port_in_use), except the
// advisory lock, which is waited for until the turn ends.
std::unique_ptr<SerialPort> try_to_open(const std::string& path, bool link,
                                        const LineSettings& settings, Clock::time_point turn_end) {
  // Checked before opening: opening some devices has effects of its own (raising DTR and RTS).
  refuse_if_locked(path, link);
  TtyDevice device;
  // The driver's open and its settings calls can wait (on a USB adapter, on a remote device).
  const Bound bound = device.bound_until(Clock::now() + open_limit);
  if (!bound.armed()) fail(ErrorNumber::device_unavailable, path, bound.refusal());
  try {
    device.attach(open_tty(path));
    const termios current = settings_at_open(device, path);
    lock_exclusively(device, path, turn_end);
    apply_line_settings(device, path, settings, current);
  } catch (...) {
    device.release();  // within the open's bound, which goes before the device
    throw;
  }
  return std::make_unique<PosixSerialPort>(path, std::move(device), settings);
}

// How often a run waiting for its turn tries the port again, where the kernel cannot queue it: a
// lock file, or a tty that another run holds exclusively.
constexpr milliseconds turn_poll_interval{10};

}  // namespace

std::string serial_device_name(int port_number, std::string_view devices) {
  // The name decides, not what it leads to: a link to an adapter that is not plugged in fails as
  // that port rather than fall through to another device.
  const std::string folder{devices};
  const std::string com_name = folder + "/COM" + std::to_string(port_number);
  struct stat status {};
  // Only a device node or a link is a port's name: a file or folder left at that name (as a
  // Windows habit such as `echo a > /dev/COM3` makes) is not.
  if (::lstat(com_name.c_str(), &status) == 0 &&
      (S_ISLNK(status.st_mode) || S_ISCHR(status.st_mode))) {
    return com_name;
  }
  return folder + "/ttyS" + std::to_string(port_number - 1);
}

std::unique_ptr<SerialPort> open_serial_device(const std::string& path,
                                               const LineSettings& settings) {
  const bool link = require_character_device(path);
  // A port that is held is tried again until the turn ends: runs started together take turns.
  const auto turn_end = Clock::now() + turn_limit;
  for (;;) {
    try {
      return try_to_open(path, link, settings, turn_end);
    } catch (const RuntimeError& error) {
      if (error.number() != ErrorNumber::port_in_use || Clock::now() >= turn_end) throw;
    }
    pause_for(turn_poll_interval);
  }
}

std::unique_ptr<SerialPort> open_serial_port(int port_number, const LineSettings& settings) {
  return open_serial_device(serial_device_name(port_number), settings);
}

}  // namespace pelvaro
