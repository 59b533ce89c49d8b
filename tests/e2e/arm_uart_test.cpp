// The ARM builds on an ARM board's own serial driver: Debian's arm64 kernel booted under QEMU's
// virt machine, whose one UART is an ARM PL011, the UART a Raspberry Pi calls ttyAMA0, driven by
// the kernel's amba-pl011. The guest runs the arm64 build and the armhf build (an arm64 kernel
// runs 32-bit programs) in the same boot, reaching the UART as COM1 through a link /dev/COM1, as
// a udev rule or a hand-made link names it on a Pi.
//
// The host reads what the UART put out (its chardev, a file) and, from QEMU's trace of the
// guest's writes to the UART's registers, each byte the UART was handed and the line format in
// force when it was: the data bits, parity and stop bits of the line control register, and the
// baud rate from the divisor registers and the UART's clock as the guest's kernel knows it. QEMU
// does not model that clock on virt (its own trace reports 0 Hz), so the rate is worked out here.
//
// Guest layout: the guest's own text goes to a virtio console (hvc0); /dev/COM2 is a link to a
// UART that is not there, and /dev/ttyS1, COM2's kernel name, leads to the PL011.
//
// A second boot is QEMU's raspi3b, a Raspberry Pi 3 with the Pi's own device tree from Debian's
// kernel package, where the kernel's 8250_bcm2835aux drives the Pi's mini UART as /dev/ttyS1
// (COM2). Its PL011 is given to the Bluetooth chip there (a serdev device, no ttyAMA0), as on a
// Pi 3 by default. QEMU's mini UART models neither the line control nor the divisor latch: the
// divisor's low byte that the driver writes goes out on the line as data, before pelvaro's byte,
// which shows the rate; data bits, parity and stop bits cannot be seen. The guest's text goes out
// on the PL011 through the early console, and the guest ends through the Pi's watchdog, as it
// cannot power off.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
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

const fs::path guest_folder = PELVARO_ARM_GUEST_DIR;

std::vector<CrossProgram> cross_programs() {
  return {{PELVARO_ARM64_EXECUTABLE, "/usr/aarch64-linux-gnu/lib", "aarch64-linux-gnu",
           "/opt/pelvaro/arm64"},
          {PELVARO_ARMHF_EXECUTABLE, "/usr/arm-linux-gnueabihf/lib", "arm-linux-gnueabihf",
           "/opt/pelvaro/armhf"}};
}

// How both guests run a build: `run NAME BUILD PORT` writes the settings for PORT, puts the UART
// at the guest's preset(), runs that build, and marks the run in the kernel log (whose time stamps
// time it) with its status, its standard error and the driver's count of bytes sent, from the
// guest's sent().
constexpr const char* marked_runs = R"sh(say() { echo "<1>$*" > /dev/kmsg; }
run() {
  cd /opt/pelvaro/$2
  printf '[ayar]\ncom=%s\n' "$3" > pelvaro.txt
  preset
  say "run-start $1"
  ./pelvaro 2> /tmp/stderr
  status=$?
  say "run-end $1"
  say "result $1 status=$status stderr=$(head -c 200 /tmp/stderr | tr '\n' ' ')"
  say "sent after $1 $(sent)"
}
)sh";

// The guest's init. Before each run the UART is put at other settings (19200 baud, 7 data bits,
// even parity, 2 stop bits), so that the trace shows what pelvaro changed. Each build runs for
// COM1, for KAPALI and for COM2.
constexpr const char* guest_init = R"sh(mount -t debugfs debugfs /sys/kernel/debug
for module in $(cat /modules/order); do insmod /modules/$module.ko; done
# The results go through the kernel log, whose console writes reach hvc0 before the power-off;
# what the shell itself writes there may still be on its way. hvc0 may be there a moment before
# it opens, and a failed redirection of exec would end init.
for i in $(seq 100); do { true > /dev/hvc0; } 2> /dev/null && break; sleep 0.05; done
exec > /dev/hvc0 2>&1
say "uart $(grep -E '^0: ' /proc/tty/driver/ttyAMA)"
say "uart-clock $(awk 'NF >= 8 { rate = $5 } /9000000.pl011 +apb_pclk/ { print rate; exit }' /sys/kernel/debug/clk/clk_summary)"
ln -s ttyAMA0 /dev/COM1
ln -s ttyAMA7 /dev/COM2
# Were COM2 to fall back to its kernel name, the byte would show on the PL011.
rm /dev/ttyS1
ln -s ttyAMA0 /dev/ttyS1
sent() { sed -n -E 's/^0: .* tx:([0-9]+).*/\1/p' /proc/tty/driver/ttyAMA; }
say "sent before $(sent)"
preset() { stty -F /dev/ttyAMA0 19200 cs7 parenb -parodd cstopb; }
for arch in arm64 armhf; do
  run $arch $arch 1
  run $arch-kapali $arch KAPALI
  run $arch-missing $arch 2
done
say guest-done
poweroff -f
)sh";

// One byte the UART was handed, with the line format in force.
struct SentByte {
  unsigned value = 0;
  LineFormat format;
};

// What QEMU's trace shows of the guest's writes to the PL011, "pl011_write addr 0x0000002c value
// 0x00000070": the line control register (0x2c) takes the divisors last written to 0x24 (integer
// part) and 0x28 (64ths) along with its own word length, parity and stop bits; the data register
// (0x00) takes a byte to send.
struct Pl011Trace {
  std::vector<LineFormat> formats;  // each write of the line control register, in order
  std::vector<SentByte> bytes;

  Pl011Trace(const std::string& trace, long clock_hz) {
    unsigned integer = 0;
    unsigned fraction = 0;
    LineFormat format;
    for (const std::string& line : lines_of(trace)) {
      unsigned address = 0;
      unsigned value = 0;
      if (std::sscanf(line.c_str(), "pl011_write addr 0x%x value 0x%x", &address, &value) != 2) {
        continue;
      }
      if (address == 0x24) integer = value;
      if (address == 0x28) fraction = value;
      if (address == 0x2c) {
        // The rate is the clock over 16 times the divisor; the divisor counts 64ths.
        const unsigned divisor = integer * 64 + fraction;
        format.baud = divisor == 0 ? 0 : static_cast<int>(std::lround(4.0 * clock_hz / divisor));
        format.data_bits = 5 + static_cast<int>((value >> 5) & 3);
        format.parity = (value & 0x02) == 0 ? 'N' : (value & 0x04) != 0 ? 'E' : 'O';
        format.stop_bits = (value & 0x08) != 0 ? 2 : 1;
        formats.push_back(format);
      }
      if (address == 0x00) bytes.push_back({value & 0xff, format});
    }
  }
};

struct ArmBoot {
  TemporaryDirectory folder;
  vcom::ProcessResult result;
  std::string console;
  std::string received;  // what the PL011 put out
  std::string trace;

  static std::string unavailable() {
    return cross_guest_unavailable(guest_folder / "kernel", guest_folder / "busybox/bin/busybox",
                                   cross_programs());
  }

  fs::path path(const std::string& name) const { return folder.path() / name; }

  void run() {
    const GuestKernel kernel = *guest_kernel_in(guest_folder / "kernel");
    make_cross_initramfs(path("root"), path("initramfs.cpio"), guest_folder / "busybox/bin/busybox",
                         cross_programs(), std::string{marked_runs} + guest_init, kernel,
                         {"virtio_mmio", "virtio_console"});
    std::vector<std::string> argv =
        qemu_virt_command(kernel, path("initramfs.cpio"), "console=hvc0 panic=-1 quiet");
    for (const auto& device :
         {first_serial_to_file(path("uart")), virtio_console_to_file(path("console"))}) {
      argv.insert(argv.end(), device.begin(), device.end());
    }
    for (const char* option : {"-trace", "pl011_write", "-D"}) argv.push_back(option);
    argv.push_back(path("trace.log").string());
    // Killed at the limit, so that no path leaves QEMU running.
    result = run_guest(argv, guest_boot_limit);
    console = content_of(path("console"));
    received = content_of(path("uart"));
    trace = content_of(path("trace.log"));
  }
};

// What a guest's init reported of each run, on its console.
template <typename Boot>
class ArmGuestTest : public GuestTest<Boot> {
 protected:
  static std::string result_line(const std::string& run) {
    const auto rest = after(GuestTest<Boot>::boot_->console, "result " + run + " status=");
    return rest ? "status=" + *rest : "missing";
  }

  static std::string sent_after(const std::string& run) {
    return after(GuestTest<Boot>::boot_->console, "sent " + run + " ").value_or("missing");
  }
};

class ArmUart : public ArmGuestTest<ArmBoot> {
 protected:
  static long uart_clock_hz() {
    return std::atol(after(boot_->console, "uart-clock ").value_or("0").c_str());
  }

  static void report_time(const std::string& run) {
    if (const auto elapsed = marked_run_ms(boot_->console, run)) {
      std::cout << run << ", to the end (emulated): " << *elapsed << " ms\n";
    }
  }
};

TEST_F(ArmUart, EachBuildSendsExactlyTheOneByteThroughTheDriver) {
  SCOPED_TRACE("the guest's console:\n" + boot_->console);
  ASSERT_NE(after(boot_->console, "uart "), std::nullopt) << "no PL011 probed:\n" << boot_->console;
  EXPECT_EQ(sent_after("before"), "0");
  EXPECT_EQ(result_line("arm64"), "status=0 stderr=");
  EXPECT_EQ(sent_after("after arm64"), "1");
  EXPECT_EQ(result_line("armhf"), "status=0 stderr=");
  EXPECT_EQ(sent_after("after armhf"), "2");
  // One byte from each build and nothing else, on the device side: what the UART put out, and
  // what the guest handed it.
  EXPECT_EQ(boot_->received, "aa");
  const Pl011Trace uart{boot_->trace, uart_clock_hz()};
  ASSERT_EQ(uart.bytes.size(), 2u) << boot_->trace;
  for (const SentByte& byte : uart.bytes) EXPECT_EQ(byte.value, 0x61u);
  report_time("arm64");
  report_time("armhf");
}

TEST_F(ArmUart, EachByteGoesOutAt9600NoParity8DataBits1StopBit) {
  const long clock = uart_clock_hz();
  ASSERT_GT(clock, 0) << "the guest did not report the UART's clock:\n" << boot_->console;
  const Pl011Trace uart{boot_->trace, clock};
  // The settings each run starts from, read back through the same decoding.
  const LineFormat preset{19200, 'E', 7, 2};
  EXPECT_NE(std::find(uart.formats.begin(), uart.formats.end(), preset), uart.formats.end())
      << "the line never was at " << preset << ":\n"
      << boot_->trace;
  ASSERT_FALSE(uart.bytes.empty());
  for (const SentByte& byte : uart.bytes) EXPECT_EQ(byte.format, (LineFormat{9600, 'N', 8, 1}));
  std::cout << "PL011 clock " << clock << " Hz; each byte sent at " << uart.bytes.front().format
            << ", from " << preset << "\n";
}

TEST_F(ArmUart, KapaliSendsNothing) {
  for (const std::string arch : {"arm64", "armhf"}) {
    EXPECT_EQ(result_line(arch + "-kapali"), "status=3 stderr=") << arch;
    report_time(arch + "-kapali");
  }
  // The count stays at what each build's COM1 run sent.
  EXPECT_EQ(sent_after("after arm64-kapali"), "1");
  EXPECT_EQ(sent_after("after armhf-kapali"), "2");
  EXPECT_EQ(boot_->received.size(), 2u);
}

// /dev/COM2 is a link whose UART is not there: the run fails on it, without falling back to
// /dev/ttyS1 (which leads to the PL011 here) and without waiting.
TEST_F(ArmUart, AMissingComLinkFailsAtOnce) {
  for (const std::string arch : {"arm64", "armhf"}) {
    EXPECT_EQ(result_line(arch + "-missing"), "status=1 stderr=") << arch;
    const auto elapsed = marked_run_ms(boot_->console, arch + "-missing");
    ASSERT_TRUE(elapsed) << boot_->console;
    // A hang bound in emulated time, not a speed target: a run that waited on the port would
    // take seconds.
    EXPECT_LT(*elapsed, 2000) << arch;
    report_time(arch + "-missing");
  }
  EXPECT_EQ(sent_after("after arm64-missing"), "1");
  EXPECT_EQ(sent_after("after armhf-missing"), "2");
  EXPECT_EQ(boot_->received, "aa");
}

// The Pi 3's init: each build sends on COM2, the mini UART at its kernel name, then KAPALI.
constexpr const char* pi_init =
    R"sh(sent() { sed -n -E 's/^1: .* tx:([0-9]+).*/\1/p' /proc/tty/driver/serial; }
mount -t debugfs debugfs /sys/kernel/debug
say "uart $(grep -E '^1: ' /proc/tty/driver/serial)"
say "uart-clock $(awk '$1 == "aux_uart" { print $5 }' /sys/kernel/debug/clk/clk_summary)"
say "sent before $(sent)"
# QEMU's mini UART shows only the divisor's low byte, so the line is left as it is.
preset() { true; }
run arm64 arm64 2
run armhf armhf 2
run kapali armhf KAPALI
say guest-done
insmod /modules/bcm2835_wdt.ko
reboot -f
)sh";

// The device tree of the Pi 3 model B in the kernel package.
std::optional<fs::path> pi3_device_tree(const fs::path& kernel_folder) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator{kernel_folder / "usr/lib", ignored}) {
    const fs::path tree = entry.path() / "broadcom/bcm2837-rpi-3-b.dtb";
    if (entry.path().filename().string().starts_with("linux-image-") && fs::exists(tree)) {
      return tree;
    }
  }
  return std::nullopt;
}

struct PiBoot {
  TemporaryDirectory folder;
  vcom::ProcessResult result;
  std::string console;
  std::string received;  // what the mini UART put out

  static std::string unavailable() {
    if (std::string reason = ArmBoot::unavailable(); !reason.empty()) return reason;
    if (!pi3_device_tree(guest_folder / "kernel")) return "no bcm2837-rpi-3-b.dtb in the kernel";
    return {};
  }

  fs::path path(const std::string& name) const { return folder.path() / name; }

  void run() {
    const fs::path kernel_folder = guest_folder / "kernel";
    const GuestKernel kernel = *guest_kernel_in(kernel_folder);
    make_cross_initramfs(path("root"), path("initramfs.cpio"), guest_folder / "busybox/bin/busybox",
                         cross_programs(), std::string{marked_runs} + pi_init, kernel,
                         {"bcm2835_wdt"});
    // The Pi's first serial port is its PL011, the second its mini UART. The device tree makes
    // the mini UART the kernel's console; naming another keeps the kernel's text off it, and the
    // early console on the PL011 carries it out.
    const std::vector<std::string> argv{
        qemu_aarch64_executable,
        "-machine",
        "raspi3b",
        "-nodefaults",
        "-no-user-config",
        "-display",
        "none",
        "-no-reboot",
        "-kernel",
        kernel.image.string(),
        "-dtb",
        pi3_device_tree(kernel_folder)->string(),
        "-initrd",
        path("initramfs.cpio").string(),
        "-append",
        "earlycon=pl011,mmio32,0x3f201000 keep_bootcon console=ttyS3 panic=-1 loglevel=2",
        "-serial",
        "file:" + path("console").string(),
        "-serial",
        "file:" + path("mini-uart").string()};
    result = run_guest(argv, guest_boot_limit);
    console = content_of(path("console"));
    received = content_of(path("mini-uart"));
  }
};

using PiMiniUart = ArmGuestTest<PiBoot>;

TEST_F(PiMiniUart, EachBuildSendsTheOneByteOnTheMiniUartAndKapaliNothing) {
  ASSERT_NE(after(boot_->console, "uart 1: uart:16550 mmio:0x3F215040"), std::nullopt)
      << "no mini UART probed:\n"
      << boot_->console;
  EXPECT_EQ(sent_after("before"), "0");
  EXPECT_EQ(result_line("arm64"), "status=0 stderr=");
  EXPECT_EQ(sent_after("after arm64"), "1");
  EXPECT_EQ(result_line("armhf"), "status=0 stderr=");
  EXPECT_EQ(sent_after("after armhf"), "2");
  EXPECT_EQ(result_line("kapali"), "status=3 stderr=");
  EXPECT_EQ(sent_after("after kapali"), "2");
  // Each run's byte, behind the low byte of the divisor the driver set, which QEMU's model lets
  // out as data: the driver runs the mini UART at twice its clock over 16 times the divisor, so
  // that byte shows the rate, 9600 baud, where nothing else of QEMU's mini UART does.
  const long clock = std::atol(after(boot_->console, "uart-clock ").value_or("0").c_str());
  ASSERT_GT(clock, 0) << boot_->console;
  const auto divisor = static_cast<char>(std::lround(2.0 * clock / (16 * 9600)) & 0xff);
  EXPECT_EQ(boot_->received, std::string({divisor, 'a', divisor, 'a'}));
  std::cout << "Pi 3 mini UART, clock " << clock << " Hz, put out:";
  for (const unsigned char byte : boot_->received)
    std::cout << " " << std::hex << int{byte} << std::dec;
  std::cout << "\n";
  for (const std::string run : {"arm64", "armhf", "kapali"}) {
    if (const auto elapsed = marked_run_ms(boot_->console, run)) {
      std::cout << "Pi 3 mini UART, " << run << ", to the end (emulated): " << *elapsed << " ms\n";
    }
  }
}

}  // namespace
