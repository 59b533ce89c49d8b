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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::testing::TemporaryDirectory;

// The whole boot, three runs and the power-off; a boot takes some 10 s under TCG.
constexpr std::chrono::seconds boot_limit{60};

const char* const qemu = "/usr/bin/qemu-system-x86_64";

// The guest's init: presets COM3 to other settings (19200 baud, 7 data bits, even parity, 2 stop
// bits), then runs pelvaro for COM3, for KAPALI and for the port without a UART, marking each
// run in the kernel log, whose time stamps time them, and reporting after each the driver's own
// count of the bytes each of COM1 to COM3 has sent.
constexpr const char* guest_init = R"sh(#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
cd /opt/pelvaro
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

std::string content_of(const fs::path& file) {
  std::ifstream in{file, std::ios::binary};
  return {std::istreambuf_iterator<char>{in}, {}};
}

std::optional<fs::path> newest_kernel() {
  std::optional<fs::path> newest;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator{"/boot", ignored}) {
    if (entry.path().filename().string().starts_with("vmlinuz-") &&
        (!newest || entry.path() > *newest)) {
      newest = entry.path();
    }
  }
  return newest;
}

std::string missing_tool() {
  for (const char* tool : {qemu, "/bin/busybox", "/usr/bin/cpio", "/usr/bin/ldd"}) {
    if (!fs::exists(tool)) return std::string{tool} + " is not installed";
  }
  if (!newest_kernel()) return "no kernel in /boot (linux-image-amd64)";
  return {};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in{text};
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();  // the console ends its lines with CR LF
    lines.push_back(line);
  }
  return lines;
}

// What follows `prefix` on the first line that holds it.
std::optional<std::string> after(const std::string& text, std::string_view prefix) {
  for (const std::string& line : lines_of(text)) {
    if (const std::size_t at = line.find(prefix); at != std::string::npos) {
      return line.substr(at + prefix.size());
    }
  }
  return std::nullopt;
}

// The shared libraries `program` loads, as ldd lists them: "libc.so.6 => /lib/... (0x...)" or
// "/lib64/ld-linux-x86-64.so.2 (0x...)".
std::vector<fs::path> libraries_of(const fs::path& program) {
  const auto listed = vcom::run_process({"/usr/bin/ldd", program.string()},
                                        std::chrono::seconds{10}, {"PATH=/usr/bin:/bin"});
  std::vector<fs::path> libraries;
  for (const std::string& line : lines_of(listed.standard_output)) {
    const std::size_t start = line.find('/');
    const std::size_t end = line.find(" (0x", start);
    if (start != std::string::npos && end != std::string::npos) {
      libraries.emplace_back(line.substr(start, end - start));
    }
  }
  return libraries;
}

void copy_into(const fs::path& root, const fs::path& file) {
  const fs::path target = root / file.relative_path();
  fs::create_directories(target.parent_path());
  fs::copy_file(file, target, fs::copy_options::overwrite_existing);
}

// One line format as the UART was programmed with it.
struct LineFormat {
  int baud = 0;
  char parity = '?';
  int data_bits = 0;
  int stop_bits = 0;

  friend bool operator==(const LineFormat&, const LineFormat&) = default;
};

std::ostream& operator<<(std::ostream& out, const LineFormat& format) {
  return out << format.baud << " " << format.parity << " " << format.data_bits << " "
             << format.stop_bits;
}

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

// The kernel log's time stamp of a marker line ("[    3.899575] run-start 3"), in seconds.
std::optional<double> marked_time(const std::string& console, const std::string& marker) {
  for (const std::string& line : lines_of(console)) {
    const std::size_t open = line.find('[');
    const std::size_t close = line.find("] ");
    if (open != std::string::npos && close != std::string::npos && open < close &&
        line.substr(close + 2) == marker) {
      return std::strtod(line.c_str() + open + 1, nullptr);
    }
  }
  return std::nullopt;
}

class RealUart : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unavailable_ = missing_tool();
#ifdef PELVARO_SANITIZED
    unavailable_ = "the sanitizers' run-time is not brought into the guest; the plain build runs";
#endif
    if (!unavailable_.empty()) return;
    boot_ = std::make_unique<Boot>();
    boot_->run();
  }
  static void TearDownTestSuite() {
    boot_.reset();
  }

  void SetUp() override {
    if (!unavailable_.empty()) GTEST_SKIP() << unavailable_;
    ASSERT_FALSE(boot_->result.timed_out)
        << "the guest did not power off within " << boot_limit.count() << " s\n"
        << boot_->console;
    ASSERT_NE(boot_->console.find("guest-done"), std::string::npos) << boot_->console;
  }

  struct Boot {
    TemporaryDirectory folder;
    vcom::ProcessResult result;
    std::string console;
    std::string trace;
    std::map<int, std::string> received;  // by COM number

    fs::path path(const std::string& name) const { return folder.path() / name; }

    void build_initramfs() const {
      const fs::path root = path("root");
      copy_into(root, "/bin/busybox");
      const fs::path program = PELVARO_EXECUTABLE;
      fs::create_directories(root / "opt/pelvaro");
      fs::copy_file(program, root / "opt/pelvaro/pelvaro");
      for (const fs::path& library : libraries_of(program)) copy_into(root, library);
      for (const char* directory : {"proc", "sys", "dev", "tmp"})
        fs::create_directory(root / directory);
      TemporaryDirectory::write_to(root / "init", guest_init);
      fs::permissions(root / "init", fs::perms::owner_all, fs::perm_options::add);
      const auto packed = vcom::run_process(
          {"/bin/sh", "-c", "cd \"$0\" && find . | cpio -o -H newc --quiet > \"$1\"", root.string(),
           path("initramfs.cpio").string()},
          std::chrono::seconds{30}, {"PATH=/usr/bin:/bin"});
      ASSERT_EQ(packed.exit_status, 0) << packed.standard_error;
    }

    std::vector<std::string> uart(int index, const std::string& output) const {
      const std::string id = "uart" + std::to_string(index);
      return {"-chardev", "file,id=" + id + ",path=" + path(output).string(), "-device",
              "isa-serial,chardev=" + id + ",index=" + std::to_string(index)};
    }

    void run() {
      build_initramfs();
      std::vector<std::string> argv{qemu,
                                    "-machine",
                                    "pc",
                                    "-accel",
                                    "tcg",
                                    "-m",
                                    "256",
                                    "-smp",
                                    "1",
                                    "-nodefaults",
                                    "-no-user-config",
                                    "-display",
                                    "none",
                                    "-no-reboot",
                                    "-kernel",
                                    newest_kernel()->string(),
                                    "-initrd",
                                    path("initramfs.cpio").string(),
                                    "-append",
                                    "console=ttyS3,115200 8250.nr_uarts=5 panic=-1 quiet",
                                    "-trace",
                                    "serial_update_parameters",
                                    "-D",
                                    path("trace.log").string()};
      for (int com = 1; com <= 3; ++com) {
        const auto device = uart(com - 1, "com" + std::to_string(com));
        argv.insert(argv.end(), device.begin(), device.end());
      }
      const auto console_device = uart(3, "console");
      argv.insert(argv.end(), console_device.begin(), console_device.end());
      // Killed at the limit, so that no path leaves QEMU running.
      result = vcom::run_process(argv, boot_limit, {"PATH=/usr/bin:/bin"});
      console = content_of(path("console"));
      trace = content_of(path("trace.log"));
      for (int com = 1; com <= 3; ++com)
        received[com] = content_of(path("com" + std::to_string(com)));
    }
  };

  static std::string result_line(const std::string& setting) {
    const auto rest = after(boot_->console, "result " + setting + " status=");
    return rest ? "status=" + *rest : "missing";
  }

  // The driver's byte counts of COM1 to COM3 (ttyS0 to ttyS2) after a run.
  static std::string sent_after(const std::string& run) {
    return after(boot_->console, "sent " + run + " ").value_or("missing");
  }

  static std::optional<double> run_ms(const std::string& setting) {
    const auto start = marked_time(boot_->console, "run-start " + setting);
    const auto end = marked_time(boot_->console, "run-end " + setting);
    if (!start || !end) return std::nullopt;
    return (*end - *start) * 1000;
  }

  static inline std::string unavailable_;
  static inline std::unique_ptr<Boot> boot_;
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
