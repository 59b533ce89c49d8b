#include "support/qemu_guest.h"

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
  for (const char* directory : {"proc", "sys", "dev", "tmp", "modules"})
    fs::create_directories(root / directory);
  std::string order;
  for (const std::string& name : modules) {
    fs::copy_file(module_file(kernel, name), root / "modules" / (name + ".ko"));
    order += name + "\n";
  }
  TemporaryDirectory::write_to(root / "modules/order", order);
  TemporaryDirectory::write_to(root / "init", init);
  fs::permissions(root / "init", fs::perms::owner_all, fs::perm_options::add);
  const auto packed =
      vcom::run_process({"/bin/sh", "-c", "cd \"$0\" && find . | cpio -o -H newc --quiet > \"$1\"",
                         root.string(), archive.string()},
                        std::chrono::seconds{30}, tool_path);
  if (packed.exit_status != 0) throw std::runtime_error("cpio: " + packed.standard_error);
}

std::vector<std::string> qemu_command(const GuestKernel& kernel, const fs::path& initramfs,
                                      const std::string& append) {
  return {qemu_executable,
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
          kernel.image.string(),
          "-initrd",
          initramfs.string(),
          "-append",
          append};
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

}  // namespace pelvaro::testing
