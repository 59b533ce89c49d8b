#pragma once

// A Linux guest under QEMU for the tests on the kernel's own serial drivers: Debian's kernel
// package unpacked in a folder (never installed on the host), a busybox initramfs made at test
// time holding the built pelvaro, the libraries it loads and the kernel modules a test names, and
// helpers that read what the guest printed.

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "virtual_com.h"

namespace pelvaro::testing {

inline constexpr const char* qemu_executable = "/usr/bin/qemu-system-x86_64";

// An unpacked kernel package: boot/vmlinuz-RELEASE and lib/modules/RELEASE.
struct GuestKernel {
  std::filesystem::path image;
  std::filesystem::path modules;
};

// The kernel in `folder`, or nothing when the folder holds none.
std::optional<GuestKernel> guest_kernel_in(const std::filesystem::path& folder);

// Why a guest cannot be booted here (a missing tool or kernel folder), or the empty text.
std::string guest_unavailable(const std::filesystem::path& kernel_folder);

// Fills `root` as the guest's initramfs tree: busybox, `program` as /opt/pelvaro/pelvaro with its
// libraries, `init` (after the lines every guest's init starts with: busybox's programs installed,
// /proc, /sys and /dev mounted), and each named module (as "xhci-pci") as /modules/NAME.ko, their
// names in the given order in /modules/order; then packs it into `archive`. Throws with the reason
// when something is missing.
void make_initramfs(const std::filesystem::path& root, const std::filesystem::path& archive,
                    const std::filesystem::path& program, std::string_view init,
                    const GuestKernel& kernel, const std::vector<std::string>& modules);

// The QEMU command line every guest shares: a PC without KVM, no display, no reboot, the kernel
// and initramfs, and `append` as its command line. Devices are added by the caller.
std::vector<std::string> qemu_command(const GuestKernel& kernel,
                                      const std::filesystem::path& initramfs,
                                      const std::string& append);

// Runs QEMU as `argv` until the guest powers off, killing it at `limit`, and says how long the
// boot took (a test's share of the suite's time).
vcom::ProcessResult run_guest(const std::vector<std::string>& argv, std::chrono::seconds limit);

// An ISA 16550 UART at `index` whose output goes to the file `output`.
std::vector<std::string> uart_to_file(int index, const std::filesystem::path& output);

// A guest of another architecture: QEMU's arm64 virt machine, whose one UART is a PL011 as on a
// Raspberry Pi, booting Debian's arm64 kernel.
inline constexpr const char* qemu_aarch64_executable = "/usr/bin/qemu-system-aarch64";

// A program built by a cross compiler, to lie in the guest at `guest_folder`, with the loader and
// libraries it names taken from its toolchain's `library_folder` (/usr/TRIPLET/lib) and put in the
// guest's /lib/TRIPLET, where Debian's loader for that architecture looks for them.
struct CrossProgram {
  std::filesystem::path executable;
  std::filesystem::path library_folder;
  std::string triplet;
  std::string guest_folder;
};

// Why a guest of another architecture cannot be booted here, or the empty text.
std::string cross_guest_unavailable(const std::filesystem::path& kernel_folder,
                                    const std::filesystem::path& busybox,
                                    const std::vector<CrossProgram>& programs);

// As make_initramfs, for a guest of another architecture: `busybox` built for it, and each
// program at its folder with its libraries.
void make_cross_initramfs(const std::filesystem::path& root, const std::filesystem::path& archive,
                          const std::filesystem::path& busybox,
                          const std::vector<CrossProgram>& programs, std::string_view init,
                          const GuestKernel& kernel, const std::vector<std::string>& modules);

// The QEMU command line of an arm64 virt machine with a Cortex-A53 (a Raspberry Pi 3's core),
// without KVM, display or reboot; its PL011 and other devices are added by the caller.
std::vector<std::string> qemu_virt_command(const GuestKernel& kernel,
                                           const std::filesystem::path& initramfs,
                                           const std::string& append);

// The machine's own first UART (virt's PL011), its output to the file `output`.
std::vector<std::string> first_serial_to_file(const std::filesystem::path& output);

// A virtio console (the guest's hvc0, once virtio_mmio and virtio_console are loaded), its output
// to the file `output`: where the guest's own text goes when its one UART is under test.
std::vector<std::string> virtio_console_to_file(const std::filesystem::path& output);

// One line format as a device was given it.
struct LineFormat {
  int baud = 0;
  char parity = '?';
  int data_bits = 0;
  int stop_bits = 0;

  friend bool operator==(const LineFormat&, const LineFormat&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const LineFormat& format) {
  return out << format.baud << " " << format.parity << " " << format.data_bits << " "
             << format.stop_bits;
}

std::string content_of(const std::filesystem::path& file);

// The lines of a console's text, without the CR that a serial console ends each with.
std::vector<std::string> lines_of(const std::string& text);

// What follows `prefix` on the first line that holds it.
std::optional<std::string> after(const std::string& text, std::string_view prefix);

// The kernel log's time stamp of a marker line ("[    3.899575] run-start 3"), in seconds.
std::optional<double> marked_time(const std::string& console, const std::string& marker);

// Milliseconds between the markers "run-start NAME" and "run-end NAME".
std::optional<double> marked_run_ms(const std::string& console, const std::string& name);

}  // namespace pelvaro::testing
