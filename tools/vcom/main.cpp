// vcom: runs a program with pseudo-terminals standing in for COM ports and reports what arrived.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "virtual_com.h"

namespace {

constexpr const char* usage =
    "usage: vcom [--com N]... [--timeout-ms MS] -- PROGRAM [ARGUMENT]...\n"
    "Runs PROGRAM in a private mount namespace (needs root) in which each COMn (default COM1 to\n"
    "COM4) is a fresh pseudo-terminal at /dev/ttyS(n-1), then reports the bytes that arrived on\n"
    "each port and the line settings the port was left at. Exits with PROGRAM's status.\n";

std::string hex_bytes(const std::string& bytes) {
  std::string text;
  for (unsigned char byte : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02x", text.empty() ? "" : " ", byte);
    text += hex;
  }
  return text;
}

std::vector<std::string> environment_of_this_process() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) entries.emplace_back(*entry);
  return entries;
}

void report(vcom::VirtualPort& port) {
  const std::string received = port.take_received();
  std::cout << "vcom: COM" << port.com() << " (/dev/" << port.device_name() << ") ";
  if (received.empty()) {
    std::cout << "received nothing\n";
    return;
  }
  std::cout << "received " << received.size() << (received.size() == 1 ? " byte: " : " bytes: ")
            << hex_bytes(received) << " (\"" << received << "\") at "
            << vcom::describe_line(port.line()) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> coms;
  std::chrono::milliseconds timeout{10000};
  int first_program_argument = argc;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--" && i + 1 < argc) {
      first_program_argument = i + 1;
      break;
    } else if (arg == "--com" && i + 1 < argc) {
      coms.push_back(std::stoi(argv[++i]));
    } else if (arg == "--timeout-ms" && i + 1 < argc) {
      timeout = std::chrono::milliseconds{std::stoi(argv[++i])};
    } else {
      std::cerr << usage;
      return 64;
    }
  }
  if (first_program_argument >= argc) {
    std::cerr << usage;
    return 64;
  }
  if (coms.empty()) coms = {1, 2, 3, 4};

  try {
    std::vector<vcom::VirtualPort> ports(coms.begin(), coms.end());
    const std::vector<std::string> program(argv + first_program_argument, argv + argc);
    const vcom::ProcessResult result =
        vcom::run_with_ports(ports, program, timeout, environment_of_this_process());
    std::cout << result.standard_output;
    std::cerr << result.standard_error;
    for (auto& port : ports) report(port);
    const double elapsed_ms = std::chrono::duration<double, std::milli>(result.elapsed).count();
    if (result.timed_out) {
      std::cout << "vcom: " << program[0] << " did not end within " << timeout.count()
                << " ms and was killed\n";
      return 124;
    }
    std::cout << "vcom: " << program[0] << " exited with status " << result.exit_status << " after "
              << elapsed_ms << " ms\n";
    return result.exit_status;
  } catch (const std::exception& error) {
    std::cerr << "vcom: " << error.what() << "\n";
    return 70;
  }
}
