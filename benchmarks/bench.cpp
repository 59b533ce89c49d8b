// Whole-process benchmark: start a sender, see its byte arrive on a pseudo-terminal standing in
// for COM3 (/dev/ttyS2 in a private mount namespace), see it end. Every peer runs once per round,
// in a shuffled order, so that a noisy machine slows them alike. Writes a Markdown report.
//
// Usage (as root): pelvaro-bench --build DIR [--windows-exe FILE] [--earlier-build DIR]
//                                [--rounds N] [--output FILE] [--headless-only]
// --headless-only times the runs without a display alone (no X server, no Wine) and writes only
// their table and targets.

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/x_server.h"
#include "virtual_com.h"

namespace {

namespace fs = std::filesystem;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr auto run_limit = std::chrono::seconds{30};

struct Peer {
  std::string name;
  std::vector<std::string> argv;
  std::vector<std::string> environment;
  bool sends = true;  // the bare window sends nothing: it is timed to its end
};

struct Samples {
  std::vector<double> to_byte;  // ms from the start to the byte on the line
  std::vector<double> to_end;   // ms from the start to the end of the process
  long peak_kib = 0;
  int failures = 0;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double position = p * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(position);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
}

double median(const std::vector<double>& values) {
  return percentile(values, 0.5);
}

std::string fixed(double value, int decimals = 2) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

std::vector<std::string> base_environment() {
  return {"PATH=/usr/bin:/bin", "HOME=/root"};
}

std::vector<std::string> with(std::vector<std::string> environment, const std::string& entry) {
  environment.push_back(entry);
  return environment;
}

class Bench {
 public:
  explicit Bench(vcom::VirtualPort& port) : port_(port) {}

  void run_once(const Peer& peer) {
    port_.take_received();
    port_.clear_exclusive_mode();  // earlier builds left it behind, and pelvaro refuses it
    const vcom::ProcessResult result =
        vcom::run_process(peer.argv, run_limit, peer.environment, std::span{&port_, 1});
    Samples& samples = samples_[peer.name];
    const std::string arrived = port_.take_received();
    const bool sent = arrived == "a" && result.first_byte[0];
    if (result.timed_out || result.exit_status != 0 || sent != peer.sends) {
      ++samples.failures;
      return;
    }
    if (sent) samples.to_byte.push_back(Milliseconds{*result.first_byte[0]}.count());
    samples.to_end.push_back(Milliseconds{result.elapsed}.count());
    samples.peak_kib = std::max(samples.peak_kib, result.peak_memory_kib);
  }

  // Each round runs every peer once, in an order shuffled afresh, so that no peer always follows
  // the same one: what a run leaves behind (a window's teardown in the X server, caches filled
  // by a large program) slows whoever comes next. Turning the same order one step a round would
  // not do that: each peer would still follow its neighbour. The seed is fixed, so that a rerun
  // takes the same orders. A short pause lets what a run set off settle before the next.
  void rounds(const std::vector<Peer>& peers, int count) {
    for (const Peer& peer : peers) run_once(peer);  // warm the caches, not counted
    for (const Peer& peer : peers) samples_[peer.name] = {};
    std::vector<std::size_t> order(peers.size());
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 shuffler{20261208};
    for (int round = 0; round < count; ++round) {
      std::shuffle(order.begin(), order.end(), shuffler);
      for (const std::size_t index : order) {
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
        run_once(peers[index]);
      }
    }
  }

  const Samples& of(const std::string& name) { return samples_[name]; }

 private:
  vcom::VirtualPort& port_;
  std::map<std::string, Samples> samples_;
};

// The shared libraries a program loads, as the dynamic loader reports them.
std::string loaded_libraries(const Peer& peer) {
  const auto result =
      vcom::run_process(peer.argv, run_limit, with(peer.environment, "LD_DEBUG=files"));
  std::set<std::string> names;
  std::istringstream lines{result.standard_error};
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("calling init: ");
    if (at != std::string::npos) names.insert(fs::path{line.substr(at + 14)}.filename().string());
  }
  std::string list;
  for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
  return std::to_string(names.size()) + ": " + list;
}

// The system calls of one run, as strace lists them (execve included), or "-" without strace.
std::string system_calls(const Peer& peer, vcom::VirtualPort& port) {
  if (!fs::exists("/usr/bin/strace")) return "-";
  const fs::path log =
      fs::temp_directory_path() / ("pelvaro-bench-calls-" + std::to_string(::getpid()));
  std::vector<std::string> argv{"/usr/bin/strace", "-o", log.string()};
  argv.insert(argv.end(), peer.argv.begin(), peer.argv.end());
  port.clear_exclusive_mode();
  vcom::run_process(argv, run_limit, peer.environment);
  port.take_received();
  std::ifstream lines{log};
  int calls = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("+++") && !line.starts_with("---")) ++calls;
  }
  fs::remove(log);
  return std::to_string(calls);
}

std::string machine_description() {
  std::ifstream cpuinfo{"/proc/cpuinfo"};
  std::string model = "unknown processor";
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.starts_with("model name")) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname system{};
  ::uname(&system);
  const std::time_t now = std::time(nullptr);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
  return model + ", " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " +
         system.release + ", " + date;
}

std::string size_of(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  return error ? "-" : fixed(static_cast<double>(size) / 1024.0, 1) + " KiB";
}

class Report {
 public:
  void table(const std::string& title, Bench& bench, const std::vector<Peer>& peers,
             const std::string& reference) {
    const double reference_median = median(bench.of(reference).to_end);
    out_ << "\n### " << title << "\n\n"
         << "| program | to the byte, median (p10-p90) | to the end, median (p10-p90) | vs "
         << reference << " | peak memory | failed runs |\n|---|---|---|---|---|---|\n";
    for (const Peer& peer : peers) {
      const Samples& s = bench.of(peer.name);
      out_ << "| " << peer.name << " | "
           << (s.to_byte.empty()
                   ? std::string{"-"}
                   : fixed(median(s.to_byte)) + " ms (" + fixed(percentile(s.to_byte, 0.1)) + "-" +
                         fixed(percentile(s.to_byte, 0.9)) + ")")
           << " | " << fixed(median(s.to_end)) << " ms (" << fixed(percentile(s.to_end, 0.1)) << "-"
           << fixed(percentile(s.to_end, 0.9)) << ") | "
           << fixed(median(s.to_end) / reference_median) << "x | "
           << fixed(static_cast<double>(s.peak_kib) / 1024.0, 1) << " MiB | " << s.failures
           << " |\n";
    }
  }

  void target(const std::string& what, bool met, const std::string& figures) {
    targets_ << "| " << what << " | " << figures << " | " << (met ? "met" : "**missed**") << " |\n";
  }

  template <class T>
  Report& operator<<(const T& value) {
    out_ << value;
    return *this;
  }

  std::string str() const {
    return out_.str() + "\n## Targets\n\n| target | figures | |\n|---|---|---|\n" + targets_.str();
  }

 private:
  std::ostringstream out_;
  std::ostringstream targets_;
};

struct Options {
  fs::path build;
  fs::path windows_exe;
  fs::path earlier_build;  // an earlier build of pelvaro to time beside this one, if given
  int rounds = 100;
  fs::path output = "benchmarks.md";
  bool headless_only = false;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--headless-only") {
      options.headless_only = true;
      --i;  // takes no value
      continue;
    }
    if (i + 1 == argc) break;
    if (flag == "--build")
      options.build = argv[i + 1];
    else if (flag == "--windows-exe")
      options.windows_exe = argv[i + 1];
    else if (flag == "--earlier-build")
      options.earlier_build = argv[i + 1];
    else if (flag == "--rounds")
      options.rounds = std::stoi(argv[i + 1]);
    else if (flag == "--output")
      options.output = argv[i + 1];
  }
  if (options.build.empty()) throw std::runtime_error("usage: pelvaro-bench --build DIR ...");
  return options;
}

// A Wine prefix whose COM3 is /dev/ttyS2, with its server kept running between runs; empty if
// Wine is not installed.
std::vector<std::string> prepare_wine(const fs::path& prefix) {
  if (!fs::exists("/usr/bin/wine")) return {};
  std::vector<std::string> environment{"WINEPREFIX=" + prefix.string(), "WINEDEBUG=-all",
                                       "PATH=/usr/bin:/bin", "HOME=/root", "LANG=C.UTF-8"};
  const auto wine = [&](const std::vector<std::string>& argv) {
    vcom::run_process(argv, std::chrono::seconds{120}, environment);
  };
  if (!fs::exists(prefix / "system.reg")) {
    wine({"/usr/bin/wineboot", "-i"});
    wine({"/usr/bin/wine", "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d",
          "x11,null", "/f"});
    wine({"/usr/bin/wineserver", "-w"});
  }
  fs::remove(prefix / "dosdevices/com3");
  fs::create_symlink("/dev/ttyS2", prefix / "dosdevices/com3");
  return environment;
}

fs::path install_pelvaro(const fs::path& build, const fs::path& folder) {
  fs::create_directories(folder);
  fs::copy_file(build / "pelvaro", folder / "pelvaro", fs::copy_options::overwrite_existing);
  // The window helper, or the window module of earlier builds.
  for (const char* window : {"pelvaro-window", "pelvaro-fltk.so"}) {
    if (fs::exists(build / window)) {
      fs::copy_file(build / window, folder / window, fs::copy_options::overwrite_existing);
    }
  }
  std::ofstream{folder / "pelvaro.txt"} << "[ayar]\ncom=3\n";
  return folder / "pelvaro";
}

// The figures from the emulated serial driver (the real-UART test under QEMU) are measured by that
// test, not here: a new report keeps them as they are.
std::string emulated_section(const fs::path& report) {
  std::ifstream in{report};
  const std::string old{std::istreambuf_iterator<char>{in}, {}};
  const std::size_t at = old.find("\n## Emulated");
  return at == std::string::npos ? std::string{} : old.substr(at);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = parse(argc, argv);
    const fs::path work =
        fs::temp_directory_path() / ("pelvaro-bench-" + std::to_string(::getpid()));
    const fs::path pelvaro = install_pelvaro(options.build, work / "native");

    std::optional<pelvaro::testing::XServer> bare_desktop;
    std::optional<pelvaro::testing::XServer> managed_desktop;
    if (!options.headless_only) {
      bare_desktop.emplace(false);
      managed_desktop.emplace(true);
    }
    std::vector<std::string> wine_environment;
    if (!options.windows_exe.empty() && !options.headless_only) {
      wine_environment = prepare_wine(options.build / "bench-wine-prefix");
      fs::create_directories(work / "windows");
      fs::copy_file(options.windows_exe, work / "windows/pelvaro.exe");
      std::ofstream{work / "windows/pelvaro.txt"} << "[ayar]\r\ncom=3\r\n";
    }
    auto ports = vcom::virtual_ports({3});
    vcom::enter_private_devices(ports);  // from here on /dev/ttyS2 is the pseudo-terminal

    const auto env = base_environment();
    const auto bare = with(env, "DISPLAY=" + (bare_desktop ? bare_desktop->display() : ""));
    const auto managed =
        with(env, "DISPLAY=" + (managed_desktop ? managed_desktop->display() : ""));
    const std::string floor = (options.build / "benchmarks/floor_sender").string();
    const std::string fltk = (options.build / "benchmarks/bare_fltk_window").string();

    std::vector<Peer> headless{
        {"pelvaro, no display", {pelvaro.string()}, env},
        {"C floor", {floor, "/dev/ttyS2"}, env},
        {"stty && printf",
         {"/bin/sh", "-c",
          "stty -F /dev/ttyS2 9600 cs8 -parenb -cstopb raw -crtscts clocal "
          "-echo && printf a > /dev/ttyS2"},
         env},
        {"pyserial",
         {"/usr/bin/python3", "-c",
          "import serial; s = serial.Serial('/dev/ttyS2', 9600, exclusive=True); "
          "s.write(b'a'); s.flush(); s.close()"},
         env},
        {"socat",
         {"/bin/sh", "-c",
          "printf a | socat -u - /dev/ttyS2,b9600,cs8,parenb=0,cstopb=0,rawer,clocal=1"},
         env},
    };
    std::vector<Peer> desktop{
        {"pelvaro, Xvfb", {pelvaro.string()}, bare},
        {"bare FLTK window, Xvfb", {fltk}, bare, false},
        {"bare FLTK window drawn, Xvfb", {fltk, "--drawn"}, bare, false},
        {"pelvaro, Xvfb + openbox", {pelvaro.string()}, managed},
        {"bare FLTK window, Xvfb + openbox", {fltk}, managed, false},
        {"bare FLTK window drawn, Xvfb + openbox", {fltk, "--drawn"}, managed, false},
    };
    if (!options.earlier_build.empty()) {
      const fs::path earlier = install_pelvaro(options.earlier_build, work / "earlier");
      headless.push_back({"earlier pelvaro, no display", {earlier.string()}, env});
      desktop.push_back({"earlier pelvaro, Xvfb", {earlier.string()}, bare});
      desktop.push_back({"earlier pelvaro, Xvfb + openbox", {earlier.string()}, managed});
    }

    Bench bench{ports[0]};
    std::cerr << "pelvaro-bench: " << options.rounds << " rounds without a display\n";
    bench.rounds(headless, options.rounds);
    if (!options.headless_only) {
      std::cerr << "pelvaro-bench: " << options.rounds << " rounds with a display\n";
      bench.rounds(desktop, options.rounds);
    }

    std::vector<Peer> windows;
    if (!wine_environment.empty()) {
      // The server stays up between runs, as it does on a desktop that uses Wine.
      vcom::run_process({"/usr/bin/wineserver", "-p"}, run_limit, wine_environment);
      windows = {{"pelvaro.exe under Wine, no display",
                  {"/usr/bin/wine", (work / "windows/pelvaro.exe").string()},
                  wine_environment},
                 headless[0]};
      const int wine_rounds = std::max(5, options.rounds / 5);
      std::cerr << "pelvaro-bench: " << wine_rounds << " rounds under Wine\n";
      bench.rounds(windows, wine_rounds);
      vcom::run_process({"/usr/bin/wineserver", "-k"}, run_limit, wine_environment);
    }

    Report report;
    report << "# Benchmarks\n\nWhole-process runs: start, the byte \"a\" on a pseudo-terminal "
              "standing in for COM3, the end of the process. "
           << options.rounds
           << " rounds of each table's programs, every program once a round, in an order "
              "shuffled afresh each round. Times are from fork to the byte arriving and to "
              "the process's end, as the parent sees them; p10-p90 is the spread. The bare FLTK "
              "window ends once its window is on the screen, before it is painted; \"drawn\" "
              "ends once it is painted, texts included, which needs the font configuration: "
              "pelvaro's window counts as active only then. \"earlier pelvaro\", where given, "
              "is an earlier build timed in the same rounds.\n\n"
           << "Machine: " << machine_description() << "\n";
    report.table("Without a display", bench, headless, "C floor");
    if (!options.headless_only) {
      report.table("With a display", bench, desktop, "bare FLTK window, Xvfb");
    }
    if (!windows.empty()) {
      report.table("pelvaro.exe under Wine (Wine's own start-up dominates)", bench, windows,
                   "pelvaro, no display");
    }
    report << "\n### Size and libraries\n\n| what | |\n|---|---|\n"
           << "| pelvaro | " << size_of(options.build / "pelvaro") << " |\n"
           << "| pelvaro-window | " << size_of(options.build / "pelvaro-window") << " |\n";
    if (!options.windows_exe.empty()) {
      report << "| pelvaro.exe | " << size_of(options.windows_exe) << " |\n";
    }
    report << "| libraries, no display | " << loaded_libraries(headless[0]) << " |\n";
    if (!options.headless_only) {
      report << "| libraries, Xvfb | " << loaded_libraries(desktop[0]) << " |\n";
    }
    report << "| libraries, C floor | " << loaded_libraries(headless[1]) << " |\n";
    for (const Peer& peer : headless) {
      if (peer.name.find("pelvaro") != std::string::npos || peer.name == "C floor") {
        report << "| system calls, " << peer.name << " | " << system_calls(peer, ports[0])
               << " |\n";
      }
    }
    if (!options.headless_only) {
      report << "| libraries, bare FLTK window | " << loaded_libraries(desktop[1]) << " |\n";
    }

    const auto end_median = [&](const std::string& name) { return median(bench.of(name).to_end); };
    const double headless_ms = end_median("pelvaro, no display");
    const double floor_ms = end_median("C floor");
    report.target("no display: within 1.5x of the C floor", headless_ms <= 1.5 * floor_ms,
                  fixed(headless_ms) + " ms vs " + fixed(floor_ms) +
                      " ms: " + fixed(headless_ms / floor_ms) + "x");
    report.target("no display: within 1.1x of the C floor", headless_ms <= 1.1 * floor_ms,
                  fixed(headless_ms) + " ms vs " + fixed(floor_ms) +
                      " ms: " + fixed(headless_ms / floor_ms) + "x");
    struct WindowTarget {
      const char* mine;
      const char* theirs;
      const char* what;
    };
    if (!options.headless_only) {
      // pelvaro's window is active only once it is painted: the fair floor is a painted window.
      for (const auto& [mine, theirs, what] : {
               WindowTarget{"pelvaro, Xvfb", "bare FLTK window, Xvfb", "the bare FLTK window"},
               WindowTarget{"pelvaro, Xvfb + openbox", "bare FLTK window, Xvfb + openbox",
                            "the bare FLTK window"},
               WindowTarget{"pelvaro, Xvfb", "bare FLTK window drawn, Xvfb",
                            "the bare window drawn"},
               WindowTarget{"pelvaro, Xvfb + openbox", "bare FLTK window drawn, Xvfb + openbox",
                            "the bare window drawn"},
           }) {
        const double a = end_median(mine);
        const double b = end_median(theirs);
        report.target(std::string{mine} + ": within 1.3x of " + what, a <= 1.3 * b,
                      fixed(a) + " ms vs " + fixed(b) + " ms: " + fixed(a / b) + "x");
      }
    }
    if (!options.earlier_build.empty() && !options.headless_only) {
      for (const auto& [mine, theirs] :
           {std::pair{"pelvaro, Xvfb", "earlier pelvaro, Xvfb"},
            std::pair{"pelvaro, Xvfb + openbox", "earlier pelvaro, Xvfb + openbox"}}) {
        const double a = median(bench.of(mine).to_byte);
        const double b = median(bench.of(theirs).to_byte);
        report.target(std::string{mine} + ": to the byte within 1.3x of the earlier build",
                      a <= 1.3 * b, fixed(a) + " ms vs " + fixed(b) + " ms: " + fixed(a / b) + "x");
      }
    }
    for (const char* other : {"stty && printf", "pyserial", "socat"}) {
      const double b = end_median(other);
      report.target(std::string{"no display: ahead of "} + other, headless_ms < b,
                    fixed(headless_ms) + " ms vs " + fixed(b) + " ms");
    }
    const double peak = static_cast<double>(bench.of("pelvaro, no display").peak_kib) / 1024.0;
    report.target("no display: peak memory under 4 MiB", peak < 4.0, fixed(peak, 1) + " MiB");

    // A report of the runs without a display alone leaves out the emulated figures too.
    const std::string emulated = options.headless_only ? "" : emulated_section(options.output);
    std::ofstream{options.output} << report.str() << emulated;
    std::cout << report.str();
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "pelvaro-bench: " << error.what() << "\n";
    return 1;
  }
}
