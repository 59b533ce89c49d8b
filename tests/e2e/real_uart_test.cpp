// The built program on a real serial driver: a Linux kernel booted under QEMU, whose own 8250
// driver runs the emulated 16550 UARTs. The guest runs pelvaro on /dev/ttyS2 (COM3) and the host
// reads what each UART sent and, from QEMU's trace of the UARTs' line control, the line format
// the driver programmed. A pseudo-terminal cannot show data bits or parity; a UART does.
//
// Guest layout: COM1 to COM3 are UARTs whose output the host reads, the console is a fourth UART
// (ttyS3, COM4), and ttyS4 (COM5) is a device node with no UART behind it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/guest_test.h"
#include "support/qemu_guest.h"
#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace {

namespace fs = std::filesystem;
using namespace pelvaro::testing;

// The guest's init: presets COM3 to other settings (19200 baud, 7 data bits, even parity, 2 stop
// bits), then runs pelvaro for COM3, for KAPALI and for the port without a UART, marking each
// run in the kernel log, whose time stamps time them, and reporting after each the driver's own
// count of the bytes each of COM1 to COM3 has sent.
constexpr const char* guest_init = R"sh(cd /opt/pelvaro
stty -F /dev/ttyS2 19200 cs7 parenb -parodd cstopb
sent() {
  grep -E '^[0-2]: ' /proc/tty/driver/serial | sed -E 's/^([0-9]): .* tx:([0-9]+).*/ttyS\1:\2/' |
    tr '\n' ' '
}
echo "sent before $(sent)"
run() {
  printf '[ayar]\ncom=%s\n' "$1" > pelvaro.txt
  echo "<1>run-start $1" > /dev/kmsg
  ./pelvaro 2> /tmp/stderr
  status=$?
  echo "<1>run-end $1" > /dev/kmsg
  echo "result $1 status=$status stderr=$(head -c 200 /tmp/stderr | tr '\n' ' ')"
  echo "sent after $1 $(sent)"
}
run 3
run KAPALI
run 5
dmesg | grep -E 'run-(start|end)'
echo guest-done
poweroff -f
)sh";

// The trace's events, "serial_update_parameters baudrate=9600 parity='N' data=8 stop=1".
std::vector<LineFormat> programmed_formats(const std::string& trace) {
  std::vector<LineFormat> formats;
  for (const std::string& line : lines_of(trace)) {
    const std::size_t at = line.find("serial_update_parameters ");
    LineFormat format;
    if (at != std::string::npos &&
        std::sscanf(line.c_str() + at,
                    "serial_update_parameters baudrate=%d parity='%c' data=%d stop=%d",
                    &format.baud, &format.parity, &format.data_bits, &format.stop_bits) == 4) {
      formats.push_back(format);
    }
  }
  return formats;
}

struct UartBoot {
  TemporaryDirectory folder;
  vcom::ProcessResult result;
  std::string console;
  std::string trace;
  std::map<int, std::string> received;  // by COM number

  fs::path path(const std::string& name) const { return folder.path() / name; }

  std::vector<std::string> uart(int index, const std::string& output) const {
    return uart_to_file(index, path(output));
  }

  void run() {
    const GuestKernel kernel = *guest_kernel_in(PELVARO_GUEST_KERNEL_DIR);
    make_initramfs(path("root"), path("initramfs.cpio"), PELVARO_EXECUTABLE, guest_init, kernel,
                   {});
    std::vector<std::string> argv = qemu_command(
        kernel, path("initramfs.cpio"), "console=ttyS3,115200 8250.nr_uarts=5 panic=-1 quiet");
    for (const char* option : {"-trace", "serial_update_parameters", "-D"}) argv.push_back(option);
    argv.push_back(path("trace.log").string());
    for (int com = 1; com <= 3; ++com) {
      const auto device = uart(com - 1, "com" + std::to_string(com));
      argv.insert(argv.end(), device.begin(), device.end());
    }
    const auto console_device = uart(3, "console");
    argv.insert(argv.end(), console_device.begin(), console_device.end());
    // Killed at the limit, so that no path leaves QEMU running.
    result = run_guest(argv, guest_boot_limit);
    console = content_of(path("console"));
    trace = content_of(path("trace.log"));
    for (int com = 1; com <= 3; ++com)
      received[com] = content_of(path("com" + std::to_string(com)));
  }
};

class RealUart : public GuestTest<UartBoot> {
 protected:
  static std::string result_line(const std::string& setting) {
    const auto rest = after(boot_->console, "result " + setting + " status=");
    return rest ? "status=" + *rest : "missing";
  }

  // The driver's byte counts of COM1 to COM3 (ttyS0 to ttyS2) after a run.
  static std::string sent_after(const std::string& run) {
    return after(boot_->console, "sent " + run + " ").value_or("missing");
  }

  static std::optional<double> run_ms(const std::string& setting) {
    return marked_run_ms(boot_->console, setting);
  }
};

TEST_F(RealUart, TheDriverProgramsTheUartAt9600NoParity8DataBits1StopBit) {
  const std::vector<LineFormat> formats = programmed_formats(boot_->trace);
  const LineFormat preset{19200, 'E', 7, 2};
  const LineFormat wanted{9600, 'N', 8, 1};
  const auto last_preset = std::find(formats.rbegin(), formats.rend(), preset);
  ASSERT_NE(last_preset, formats.rend()) << "COM3 never was at 19200 7E2:\n" << boot_->trace;
  // After COM3's old settings, only pelvaro's reached a UART: the format it sets, first at the
  // old divisor, then the new one.
  for (auto it = formats.rbegin(); it != last_preset; ++it) {
    EXPECT_EQ(it->parity, 'N') << *it;
    EXPECT_EQ(it->data_bits, 8) << *it;
    EXPECT_EQ(it->stop_bits, 1) << *it;
  }
  ASSERT_NE(last_preset, formats.rbegin()) << "pelvaro programmed nothing";
  EXPECT_EQ(formats.back(), wanted);
  std::cout << "UART programmed: " << formats.back() << ", from " << preset << "\n";
}

constexpr const char* one_byte_on_com3 = "ttyS0:0 ttyS1:0 ttyS2:1 ";

TEST_F(RealUart, SendsExactlyTheOneByteOnCom3AndNothingElsewhere) {
  EXPECT_EQ(sent_after("before"), "ttyS0:0 ttyS1:0 ttyS2:0 ");
  EXPECT_EQ(result_line("3"), "status=0 stderr=");
  EXPECT_EQ(sent_after("after 3"), one_byte_on_com3);
  EXPECT_EQ(boot_->received[3], "a");
  EXPECT_EQ(boot_->received[1], "");
  EXPECT_EQ(boot_->received[2], "");
  if (const auto elapsed = run_ms("3")) {
    std::cout << "COM3 at 9600 baud, to the end (emulated): " << *elapsed << " ms\n";
  }
}

TEST_F(RealUart, KapaliSendsNothing) {
  EXPECT_NE(result_line("KAPALI"), "missing");
  EXPECT_EQ(sent_after("after KAPALI"), one_byte_on_com3);  // the run before sent that one
  EXPECT_EQ(boot_->received[3].size(), 1u);
  EXPECT_EQ(boot_->received[1] + boot_->received[2], "");
  if (const auto elapsed = run_ms("KAPALI")) {
    std::cout << "KAPALI, to the end (emulated): " << *elapsed << " ms\n";
  }
}

TEST_F(RealUart, APortWhoseDeviceHasNoUartFailsCleanly) {
  EXPECT_EQ(result_line("5"), "status=1 stderr=");
  EXPECT_EQ(sent_after("after 5"), one_byte_on_com3);
  EXPECT_EQ(boot_->received[3].size(), 1u);
  EXPECT_EQ(boot_->received[1] + boot_->received[2], "");
}

}  // namespace
