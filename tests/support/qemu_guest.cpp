#include "support/qemu_guest.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "support/temporary_directory.h"

namespace pelvaro::testing {

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> tool_path{"PATH=/usr/bin:/bin"};

// The shared libraries `program` loads, as ldd lists them: "libc.so.6 => /lib/... (0x...)" or
// "/lib64/ld-linux-x86-64.so.2 (0x...)".
std::vector<fs::path> libraries_of(const fs::path& program) {
  const auto listed =
      vcom::run_process({"/usr/bin/ldd", program.string()}, std::chrono::seconds{10}, tool_path);
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

fs::path module_file(const GuestKernel& kernel, const std::string& name) {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator{kernel.modules, ignored}) {
    if (entry.path().filename() == name + ".ko") return entry.path();
  }
  throw std::runtime_error("no module " + name + ".ko (uncompressed) under " +
                           kernel.modules.string());
}

// How every guest's init starts: busybox's programs on the path, and the kernel's file systems.
constexpr std::string_view init_start = R"sh(#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
)sh";

// The guest's folders, its modules and their order, its init, packed as an initramfs.
void finish_initramfs(const fs::path& root, const fs::path& archive, std::string_view init,
                      const GuestKernel& kernel, const std::vector<std::string>& modules) {
  for (const char* directory : {"proc", "sys", "dev", "tmp", "modules"})
    fs::create_directories(root / directory);
  std::string order;
  for (const std::string& name : modules) {
    fs::copy_file(module_file(kernel, name), root / "modules" / (name + ".ko"));
    order += name + "\n";
  }
  TemporaryDirectory::write_to(root / "modules/order", order);
  TemporaryDirectory::write_to(root / "init", std::string{init_start} + std::string{init});
  fs::permissions(root / "init", fs::perms::owner_all, fs::perm_options::add);
  const auto packed =
      vcom::run_process({"/bin/sh", "-c", "cd \"$0\" && find . | cpio -o -H newc --quiet > \"$1\"",
                         root.string(), archive.string()},
                        std::chrono::seconds{30}, tool_path);
  if (packed.exit_status != 0) throw std::runtime_error("cpio: " + packed.standard_error);
}

// What every guest's command has after its machine: one processor under emulation, no device
// that QEMU would add of its own, no display, and the kernel with its initramfs.
std::vector<std::string> with_guest_arguments(std::vector<std::string> command,
                                              const GuestKernel& kernel, const fs::path& initramfs,
                                              const std::string& append) {
  command.insert(command.end(),
                 {"-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults", "-no-user-config",
                  "-display", "none", "-no-reboot", "-kernel", kernel.image.string(), "-initrd",
                  initramfs.string(), "-append", append});
  return command;
}

}  // namespace

std::optional<GuestKernel> guest_kernel_in(const fs::path& folder) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator{folder / "boot", ignored}) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("vmlinuz-")) continue;
    const std::string release = name.substr(std::string_view{"vmlinuz-"}.size());
    for (const fs::path& modules :
         {folder / "lib/modules" / release, folder / "usr/lib/modules" / release}) {
      if (fs::is_directory(modules)) return GuestKernel{entry.path(), modules};
    }
  }
  return std::nullopt;
}

std::string guest_unavailable(const fs::path& kernel_folder) {
  for (const char* tool : {qemu_executable, "/bin/busybox", "/usr/bin/cpio", "/usr/bin/ldd"}) {
    if (!fs::exists(tool)) return std::string{tool} + " is not installed";
  }
  if (kernel_folder.empty()) {
    return "no guest kernel: configure with -DPELVARO_GUEST_KERNEL_DIR=FOLDER, a folder holding "
           "Debian's kernel package unpacked (scripts/lib.sh: fetch_guest_kernel)";
  }
  if (!guest_kernel_in(kernel_folder)) {
    return "no boot/vmlinuz-* with its lib/modules in " + kernel_folder.string() +
           " (PELVARO_GUEST_KERNEL_DIR)";
  }
  return {};
}

void make_initramfs(const fs::path& root, const fs::path& archive, const fs::path& program,
                    std::string_view init, const GuestKernel& kernel,
                    const std::vector<std::string>& modules) {
  copy_into(root, "/bin/busybox");
  fs::create_directories(root / "opt/pelvaro");
  fs::copy_file(program, root / "opt/pelvaro/pelvaro");
  for (const fs::path& library : libraries_of(program)) copy_into(root, library);
  finish_initramfs(root, archive, init, kernel, modules);
}

std::vector<std::string> qemu_command(const GuestKernel& kernel, const fs::path& initramfs,
                                      const std::string& append) {
  return with_guest_arguments({qemu_executable, "-machine", "pc"}, kernel, initramfs, append);
}

vcom::ProcessResult run_guest(const std::vector<std::string>& argv, std::chrono::seconds limit) {
  vcom::ProcessResult result = vcom::run_process(argv, limit, tool_path);
  std::cout << "QEMU guest: booted, ran and powered off in "
            << std::chrono::duration<double>(result.elapsed).count() << " s\n";
  return result;
}

std::vector<std::string> uart_to_file(int index, const fs::path& output) {
  const std::string id = "uart" + std::to_string(index);
  return {"-chardev", "file,id=" + id + ",path=" + output.string(), "-device",
          "isa-serial,chardev=" + id + ",index=" + std::to_string(index)};
}

std::string content_of(const fs::path& file) {
  std::ifstream in{file, std::ios::binary};
  return {std::istreambuf_iterator<char>{in}, {}};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in{text};
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::optional<std::string> after(const std::string& text, std::string_view prefix) {
  for (const std::string& line : lines_of(text)) {
    if (const std::size_t at = line.find(prefix); at != std::string::npos) {
      return line.substr(at + prefix.size());
    }
  }
  return std::nullopt;
}

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

std::optional<double> marked_run_ms(const std::string& console, const std::string& name) {
  const auto start = marked_time(console, "run-start " + name);
  const auto end = marked_time(console, "run-end " + name);
  if (!start || !end) return std::nullopt;
  return (*end - *start) * 1000;
}

namespace {

// What readelf says a program or library needs: its loader ("[Requesting program interpreter:
// /lib/ld-linux-aarch64.so.1]") and the libraries it names ("(NEEDED) Shared library:
// [libc.so.6]"). readelf reads any architecture's files.
std::vector<std::string> needed_by(const fs::path& file) {
  const auto listed = vcom::run_process({"/usr/bin/readelf", "-d", "-l", "-W", file.string()},
                                        std::chrono::seconds{10}, tool_path);
  if (listed.exit_status != 0) throw std::runtime_error("readelf: " + listed.standard_error);
  std::vector<std::string> needed;
  for (const std::string& line : lines_of(listed.standard_output)) {
    for (const std::string_view marker : {"program interpreter: ", "Shared library: ["}) {
      const std::size_t at = line.find(marker);
      const std::size_t end = line.find(']', at);
      if (at != std::string::npos && end != std::string::npos) {
        needed.push_back(line.substr(at + marker.size(), end - at - marker.size()));
      }
    }
  }
  return needed;
}

// Copies into the guest the loader and the libraries `program` needs, and those they need.
void copy_cross_libraries(const fs::path& root, const CrossProgram& program) {
  std::vector<fs::path> pending{program.executable};
  std::vector<std::string> copied;
  while (!pending.empty()) {
    const fs::path file = pending.back();
    pending.pop_back();
    for (const std::string& name : needed_by(file)) {
      const fs::path source = program.library_folder / fs::path{name}.filename();
      const fs::path target = name.starts_with('/') ? root / fs::path{name}.relative_path()
                                                    : root / "lib" / program.triplet / name;
      if (std::find(copied.begin(), copied.end(), target.string()) != copied.end()) continue;
      if (!fs::exists(source)) throw std::runtime_error("no " + source.string());
      fs::create_directories(target.parent_path());
      fs::copy_file(source, target, fs::copy_options::overwrite_existing);
      copied.push_back(target.string());
      pending.push_back(source);
    }
  }
}

}  // namespace

std::string cross_guest_unavailable(const fs::path& kernel_folder, const fs::path& busybox,
                                    const std::vector<CrossProgram>& programs) {
  for (const char* tool : {qemu_aarch64_executable, "/usr/bin/cpio", "/usr/bin/readelf"}) {
    if (!fs::exists(tool)) return std::string{tool} + " is not installed";
  }
  if (kernel_folder.empty() || !guest_kernel_in(kernel_folder)) {
    return "no arm64 guest kernel: configure with -DPELVARO_ARM_GUEST_DIR=FOLDER, the folder "
           "scripts/lib.sh's fetch_arm_guest fills";
  }
  if (!fs::exists(busybox)) return "no arm64 busybox at " + busybox.string();
  for (const CrossProgram& program : programs) {
    if (program.executable.empty() || !fs::exists(program.executable)) {
      return "no cross-built pelvaro for " + program.triplet +
             ": configure with its path (scripts/lib.sh's build_arm builds it)";
    }
    if (!fs::is_directory(program.library_folder)) {
      return "no C library of the " + program.triplet + " cross compiler in " +
             program.library_folder.string();
    }
  }
  return {};
}

void make_cross_initramfs(const fs::path& root, const fs::path& archive, const fs::path& busybox,
                          const std::vector<CrossProgram>& programs, std::string_view init,
                          const GuestKernel& kernel, const std::vector<std::string>& modules) {
  fs::create_directories(root / "bin");
  fs::copy_file(busybox, root / "bin/busybox");
  for (const CrossProgram& program : programs) {
    const fs::path folder = root / fs::path{program.guest_folder}.relative_path();
    fs::create_directories(folder);
    fs::copy_file(program.executable, folder / "pelvaro");
    copy_cross_libraries(root, program);
  }
  finish_initramfs(root, archive, init, kernel, modules);
}

std::vector<std::string> qemu_virt_command(const GuestKernel& kernel, const fs::path& initramfs,
                                           const std::string& append) {
  return with_guest_arguments({qemu_aarch64_executable, "-machine", "virt", "-cpu", "cortex-a53"},
                              kernel, initramfs, append);
}

std::vector<std::string> first_serial_to_file(const fs::path& output) {
  return {"-chardev", "file,id=serial0,path=" + output.string(), "-serial", "chardev:serial0"};
}

std::vector<std::string> virtio_console_to_file(const fs::path& output) {
  return {"-device",  "virtio-serial-device",
          "-chardev", "file,id=console,path=" + output.string(),
          "-device",  "virtconsole,chardev=console"};
}

}  // namespace pelvaro::testing
