// The termios settings the port is given, checked as built: a pseudo-terminal cannot show data
// bits or parity (it always reports 8 bits without parity), so those are proved here, and on a
// real UART by the test under QEMU.

#include "platform/posix/serial/termios_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace pelvaro {
namespace {

// A line as another program might have left it: 7 data bits, odd parity, two stop bits, hardware
// flow control, cooked, at 1200 baud.
termios foreign_line() {
  termios line{};
  line.c_iflag = IXON | IXOFF | ICRNL | INPCK | ISTRIP;
  line.c_oflag = OPOST | ONLCR;
  line.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL;
  line.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 5;
  ::cfsetispeed(&line, B1200);
  ::cfsetospeed(&line, B1200);
  return line;
}

std::string name_of(const LineSettings& settings) {
  return std::to_string(settings.baud) + "," + std::to_string(static_cast<int>(settings.parity)) +
         "," + std::to_string(settings.data_bits) + "," +
         std::to_string(static_cast<int>(settings.stop_bits));
}

TEST(TermiosSettings, EveryParityDataBitAndStopBitChoice) {
  struct ParityFlags {
    Parity parity;
    tcflag_t flags;
  };
  const ParityFlags parities[] = {{Parity::none, 0},
                                  {Parity::even, PARENB},
                                  {Parity::odd, PARENB | PARODD},
                                  {Parity::mark, PARENB | PARODD | CMSPAR},
                                  {Parity::space, PARENB | CMSPAR}};
  const std::pair<int, tcflag_t> sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
  const std::pair<StopBits, tcflag_t> stops[] = {
      {StopBits::one, 0}, {StopBits::one_and_a_half, CSTOPB}, {StopBits::two, CSTOPB}};
  for (const auto& [parity, parity_flags] : parities) {
    for (const auto& [data_bits, size] : sizes) {
      for (const auto& [stop_bits, stop_flag] : stops) {
        const LineSettings settings{9600, parity, data_bits, stop_bits};
        const termios line = raw_line(foreign_line(), settings, B9600);
        SCOPED_TRACE(name_of(settings));
        EXPECT_EQ(line.c_cflag & CSIZE, size);
        EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CMSPAR), parity_flags);
        EXPECT_EQ(line.c_cflag & CSTOPB, stop_flag);
        EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD | CRTSCTS), tcflag_t{CLOCAL | CREAD});
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INPCK | ISTRIP), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_cc[VMIN], 0);  // reads never wait
        EXPECT_EQ(line.c_cc[VTIME], 0);
        EXPECT_EQ(::cfgetospeed(&line), B9600);
        EXPECT_EQ(::cfgetispeed(&line), B9600);
      }
    }
  }
}

TEST(TermiosSettings, SpeedsTermiosHasAndHasNot) {
  EXPECT_EQ(baud_constant(9600), B9600);
  EXPECT_EQ(baud_constant(50), B50);
  EXPECT_EQ(baud_constant(115200), B115200);
  EXPECT_EQ(baud_constant(4000000), B4000000);
  for (const std::uint32_t unusual : {0u, 1u, 9601u, 12345u, 4000001u}) {
    EXPECT_EQ(baud_constant(unusual), B0) << unusual;
  }
  const termios line = raw_line(foreign_line(), {19200, Parity::none, 8, StopBits::one}, B19200);
  EXPECT_EQ(::cfgetospeed(&line), B19200);
}

}  // namespace
}  // namespace pelvaro
