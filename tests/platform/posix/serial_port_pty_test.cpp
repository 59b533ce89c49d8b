// The serial port on a real terminal device: a pseudo-terminal pair, whose other side shows what
// the port sent and the line settings it left.

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/posix_serial_port.h"
#include "runtime/runtime_error.h"
#include "support/error_number.h"
#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace pelvaro {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr LineSettings nine_six_8n1{9600, Parity::none, 8, StopBits::one};

// A held port is refused once the turn has passed: the turn, and a margin for the start.
constexpr milliseconds refusal_bound = turn_limit + milliseconds{1000};

const std::byte signal_byte[] = {std::byte{0x61}};

// Whether the system under the tests reports a tty's exclusive mode (TIOCGEXCL). qemu-user, which
// runs the ARM builds' tests, passes no such request on: there the program cannot see the mode
// either, and the cases that rest on it are skipped rather than passed.
bool exclusive_mode_is_readable(int fd) {
  int flag = 0;
  return ::ioctl(fd, TIOCGEXCL, &flag) == 0 || (errno != ENOSYS && errno != ENOTTY);
}

std::optional<ErrorNumber> open_failure(const std::string& path,
                                        const LineSettings& settings = nine_six_8n1) {
  return testing::error_number_of([&] { open_serial_device(path, settings); });
}

TEST(SerialPortOnPty, Applies9600EightNoneOneRawFromOtherSettings) {
  vcom::VirtualPort line{3};
  const auto port = open_serial_device(line.pty_path(), nine_six_8n1);
  const termios t = line.line();
  EXPECT_EQ(::cfgetospeed(&t), B9600);
  EXPECT_EQ(::cfgetispeed(&t), B9600);
  // A pseudo-terminal keeps the stop bits, flow control and modem-line flags it is given, but
  // always shows 8 data bits without parity: those are proved in termios_settings_test.
  EXPECT_FALSE(t.c_cflag & (CSTOPB | CRTSCTS));
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(vcom::describe_line(t), "9600 baud, 1 stop bit, raw");
}

TEST(SerialPortOnPty, AppliesOtherLineSettingsAsGiven) {
  // A pseudo-terminal shows the speed and the stop bits.
  vcom::VirtualPort line{1};
  {
    const auto port = open_serial_device(line.pty_path(), {19200, Parity::odd, 7, StopBits::two});
    EXPECT_EQ(vcom::describe_line(line.line()), "19200 baud, 2 stop bits, raw");
  }
  {
    const auto port = open_serial_device(line.pty_path(), {115200, Parity::none, 8, StopBits::one});
    EXPECT_EQ(vcom::describe_line(line.line()), "115200 baud, 1 stop bit, raw");
  }
  EXPECT_EQ(open_failure(line.pty_path(), {12345, Parity::none, 8, StopBits::one}),
            ErrorNumber::line_settings_refused);
}

TEST(SerialPortOnPty, WritesExactlyTheOneByte) {
  vcom::VirtualPort line{3};
  line.take_received();
  auto port = open_serial_device(line.pty_path(), nine_six_8n1);
  EXPECT_EQ(line.take_received(), "");  // opening sends nothing
  port->write(signal_byte);
  port->drain_and_close();
  EXPECT_EQ(line.take_received(), "a");
}

TEST(SerialPortOnPty, LeavesTheHangUpOnCloseAsItFoundIt) {
  // Whether closing drops DTR and RTS is the port's own setting: a udev rule turns it off for a
  // board that resets when DTR rises, so that it resets once, when plugged in.
  for (const bool hang_up : {true, false}) {
    SCOPED_TRACE(hang_up ? "HUPCL on" : "HUPCL off");
    vcom::VirtualPort line{3};
    {
      FileDescriptor setter{::open(line.pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
      termios preset = line.line();
      preset.c_cflag = hang_up ? preset.c_cflag | HUPCL : preset.c_cflag & ~tcflag_t{HUPCL};
      ASSERT_EQ(::tcsetattr(setter.get(), TCSANOW, &preset), 0);
    }
    auto port = open_serial_device(line.pty_path(), nine_six_8n1);
    EXPECT_EQ((line.line().c_cflag & HUPCL) != 0, hang_up);
    port->write(signal_byte);
    port->drain_and_close();
    EXPECT_EQ((line.line().c_cflag & HUPCL) != 0, hang_up);
  }
}

enum class Hold { advisory_lock, exclusive_mode };

// Holds the port for `span` in a process of its own, as a run started a moment earlier would,
// and gives it back; returns once the port is held.
pid_t hold_for_a_moment(const std::string& path, Hold hold, milliseconds span) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    const bool held =
        hold == Hold::advisory_lock ? ::flock(fd, LOCK_EX) == 0 : ::ioctl(fd, TIOCEXCL) == 0;
    if (!held || ::write(ready[1], "h", 1) != 1) ::_exit(1);
    ::usleep(static_cast<useconds_t>(span.count()) * 1000);
    if (hold == Hold::exclusive_mode) ::ioctl(fd, TIOCNXCL);
    ::_exit(0);
  }
  ::close(ready[1]);
  char held = 0;
  const bool holds = ::read(ready[0], &held, 1) == 1;
  ::close(ready[0]);
  return holds ? child : -1;
}

TEST(SerialPortOnPty, WaitsForItsTurnWhileAnotherHoldsThePortForAMoment) {
  for (const Hold hold : {Hold::advisory_lock, Hold::exclusive_mode}) {
    SCOPED_TRACE(hold == Hold::advisory_lock ? "flock" : "TIOCEXCL");
    vcom::VirtualPort line{3};
    if (hold == Hold::exclusive_mode &&
        !exclusive_mode_is_readable(
            FileDescriptor{::open(line.pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)}.get())) {
      GTEST_SKIP() << "TIOCGEXCL is not passed on here";
    }
    const pid_t holder = hold_for_a_moment(line.pty_path(), hold, milliseconds{300});
    ASSERT_GT(holder, 0);
    const auto start = Clock::now();
    std::unique_ptr<SerialPort> port;
    EXPECT_NO_THROW(port = open_serial_device(line.pty_path(), nine_six_8n1));
    EXPECT_GE(Clock::now() - start, milliseconds{250}) << "opened while the other held it";
    int status = -1;
    ::waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
    if (!port) continue;
    port->write(signal_byte);
    port->drain_and_close();
    EXPECT_EQ(line.take_received(), "a");
  }
}

TEST(SerialPortOnPty, APortHeldByAnotherProgramIsRefusedAndUntouched) {
  vcom::VirtualPort line{3};
  FileDescriptor holder{::open(line.pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  const auto start = Clock::now();
  EXPECT_EQ(open_failure(line.pty_path()), ErrorNumber::port_in_use);
  EXPECT_LT(Clock::now() - start, refusal_bound);
  EXPECT_EQ(vcom::describe_line(line.line()), "1200 baud, 2 stop bits, cooked");
  holder.reset();
  EXPECT_NO_THROW(open_serial_device(line.pty_path(), nine_six_8n1));
}

// The tty keeps its exclusive mode for as long as anybody has it open: here the test does, as a
// serial monitor would. Every way of giving the port back must clear it.
TEST(SerialPortOnPty, GivesTheExclusiveModeBackOnEveryPath) {
  vcom::VirtualPort line{3};
  FileDescriptor monitor{::open(line.pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  if (!exclusive_mode_is_readable(monitor.get())) GTEST_SKIP() << "TIOCGEXCL is not passed on here";
  const auto exclusive = [&] {
    int flag = -1;
    EXPECT_EQ(::ioctl(monitor.get(), TIOCGEXCL, &flag), 0);
    return flag;
  };
  {
    auto port = open_serial_device(line.pty_path(), nine_six_8n1);
    EXPECT_EQ(exclusive(), 1);
    port->write(signal_byte);
    port->drain_and_close();
    EXPECT_EQ(exclusive(), 0) << "after a send";
  }
  {
    const auto port = open_serial_device(line.pty_path(), nine_six_8n1);
    EXPECT_EQ(exclusive(), 1);
  }
  EXPECT_EQ(exclusive(), 0) << "after a port dropped without a drain";
  EXPECT_EQ(open_failure(line.pty_path(), {12345, Parity::none, 8, StopBits::one}),
            ErrorNumber::line_settings_refused);
  EXPECT_EQ(exclusive(), 0) << "after an open that failed on the line settings";
}

TEST(SerialPortOnPty, APortHeldExclusivelyIsRefusedAndUntouched) {
  // As root the open itself passes the exclusive mode; the port must be refused all the same.
  vcom::VirtualPort line{3};
  FileDescriptor holder{::open(line.pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  if (!exclusive_mode_is_readable(holder.get())) GTEST_SKIP() << "TIOCGEXCL is not passed on here";
  ASSERT_EQ(::ioctl(holder.get(), TIOCEXCL), 0);
  const auto start = Clock::now();
  EXPECT_EQ(open_failure(line.pty_path()), ErrorNumber::port_in_use);
  EXPECT_LT(Clock::now() - start, refusal_bound);
  EXPECT_EQ(vcom::describe_line(line.line()), "1200 baud, 2 stop bits, cooked");
  int still_exclusive = 0;
  ASSERT_EQ(::ioctl(holder.get(), TIOCGEXCL, &still_exclusive), 0);
  EXPECT_EQ(still_exclusive, 1);
  EXPECT_EQ(line.take_received(), "");
}

TEST(SerialPortOnPty, OnlyOneOpenAtATime) {
  vcom::VirtualPort line{3};
  const auto first = open_serial_device(line.pty_path(), nine_six_8n1);
  EXPECT_EQ(open_failure(line.pty_path()), ErrorNumber::port_in_use);
}

TEST(SerialPortOnPty, AWriteAfterTheOtherSideHungUpFails) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  FileDescriptor master_end{master};
  FileDescriptor slave_end{slave};
  const std::string path = ::ttyname(slave);
  auto port = open_serial_device(path, nine_six_8n1);
  master_end.reset();
  EXPECT_EQ(testing::error_number_of([&] { port->write(signal_byte); }), ErrorNumber::write_failed);
}

TEST(SerialPortOnAnythingElse, IsRefusedBeforeAnythingIsWritten) {
  testing::TemporaryDirectory folder;
  const auto file = folder.write("not-a-port", "unchanged");
  EXPECT_EQ(open_failure(file.string()), ErrorNumber::not_a_serial_port);
  EXPECT_EQ(open_failure(folder.path().string()), ErrorNumber::not_a_serial_port);
  EXPECT_EQ(open_failure("/dev/null"), ErrorNumber::not_a_serial_port);
  EXPECT_EQ(open_failure((folder.path() / "ttyS99").string()), ErrorNumber::device_unavailable);
  std::ifstream check{file};
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>{check}, {}), "unchanged");
}

}  // namespace
}  // namespace pelvaro
