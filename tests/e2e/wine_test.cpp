// pelvaro.exe, the Windows build, on the real Windows API as Wine provides it, with a
// pseudo-terminal as COMn (the Wine prefix's dosdevices link), with and without a display.

#include <gtest/gtest.h>  // before anything that may bring in the X headers

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/hang_bound.h"
#include "support/temporary_directory.h"
#include "support/turkish_settings.h"
#include "support/x_server.h"
#include "support/x_windows.h"
#include "virtual_com.h"

namespace {

namespace fs = std::filesystem;
using namespace pelvaro::testing;
using pelvaro::FileDescriptor;

constexpr std::chrono::seconds run_limit{60};

// How long a run waits for its turn at a port that another run or another program holds.
constexpr std::chrono::milliseconds turn_limit{3000};
// Beyond a run's own bounds, for Wine's start on a busy machine, timed beside it in a clean run.
constexpr std::chrono::milliseconds start_margin{1500};

// How much longer a run took than a clean run beside it: what Wine's own start leaves of it.
std::chrono::nanoseconds beyond(const vcom::ProcessResult& run, const vcom::ProcessResult& clean) {
  return run.elapsed - clean.elapsed;
}

std::string missing_tool() {
  for (const char* tool : {"/usr/bin/wine", "/usr/bin/wineserver", "/usr/bin/wineboot"}) {
    if (!fs::exists(tool)) return std::string{tool} + " is not installed";
  }
  if (!fs::exists(PELVARO_WINDOWS_EXECUTABLE)) {
    return std::string{PELVARO_WINDOWS_EXECUTABLE} + " has not been built";
  }
  return {};
}

class WineRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unavailable_ = missing_tool();
    if (unavailable_.empty() && !fs::exists(prefix() / "system.reg")) make_prefix();
  }

  void SetUp() override {
    if (!unavailable_.empty()) GTEST_SKIP() << unavailable_;
    install_into(folder.path());
  }

  static fs::path prefix() { return PELVARO_WINE_PREFIX; }

  static std::vector<std::string> wine_environment(const std::string& display = {}) {
    std::vector<std::string> environment{"WINEPREFIX=" + prefix().string(), "WINEDEBUG=-all",
                                         "PATH=/usr/bin:/bin", "HOME=" + prefix().string(),
                                         "LANG=C.UTF-8"};  // file names are UTF-8 here
    if (!display.empty()) environment.push_back("DISPLAY=" + display);
    return environment;
  }

  static void wine_tool(const std::vector<std::string>& argv) {
    const auto result = vcom::run_process(argv, run_limit, wine_environment());
    ASSERT_EQ(result.exit_status, 0) << argv[0] << argv.back() << result.standard_error;
  }

  // A fresh prefix whose graphics fall back to the null driver where there is no X display, and
  // whose X11 windows are unmanaged, so that Wine does not wait for a window manager at exit.
  static void make_prefix() {
    wine_tool({"/usr/bin/wineboot", "-i"});
    wine_tool({"/usr/bin/wine", "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics",
               "/d", "x11,null", "/f"});
    wine_tool({"/usr/bin/wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed",
               "/d", "N", "/f"});
    wine_tool({"/usr/bin/wineserver", "-w"});
  }

  static void install_into(const fs::path& directory) {
    fs::create_directories(directory);
    fs::copy_file(PELVARO_WINDOWS_EXECUTABLE, directory / "pelvaro.exe");
  }

  // Installs pelvaro.exe into `directory` with settings naming COM3, and checks that a run from
  // there sends the byte.
  void expect_sends_on_com3_from(const fs::path& directory) {
    install_into(directory);
    TemporaryDirectory::write_to(directory / "pelvaro.txt", "[ayar]\r\ncom=3\r\n");
    auto ports = vcom::virtual_ports({3});
    const auto result = run(ports, {}, directory);
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    EXPECT_EQ(ports[0].take_received(), "a");
  }

  // Runs pelvaro.exe from `directory` with each port as its COMn; waits for Wine to finish with
  // the ports before they go.
  vcom::ProcessResult run(std::vector<vcom::VirtualPort>& ports, const std::string& display = {},
                          const fs::path& directory = {},
                          const std::vector<std::string>& more_environment = {}) {
    const fs::path exe = (directory.empty() ? folder.path() : directory) / "pelvaro.exe";
    return run_wine(ports, {"/usr/bin/wine", exe.string()}, display, more_environment);
  }

  // Runs `program`, a path on this system or a Windows one, with `arguments`, on a window station
  // nobody sees: a run that goes wrong reports on standard error and ends with status 2 at once
  // rather than waiting on a box.
  vcom::ProcessResult run_unseen(std::vector<vcom::VirtualPort>& ports, const std::string& program,
                                 const std::vector<std::string>& arguments = {},
                                 const std::vector<std::string>& more_environment = {}) {
    EXPECT_TRUE(fs::exists(PELVARO_HIDDEN_STATION_LAUNCHER)) << "no hidden-station launcher";
    std::vector<std::string> argv{"/usr/bin/wine", PELVARO_HIDDEN_STATION_LAUNCHER, program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run_wine(ports, argv, {}, more_environment);
  }

  // pelvaro.exe on a window station of its own that nobody sees, as a service or a scheduled
  // task has it.
  vcom::ProcessResult run_on_hidden_station(std::vector<vcom::VirtualPort>& ports,
                                            const std::string& display) {
    const fs::path exe = folder.path() / "pelvaro.exe";
    return run_wine(ports, {"/usr/bin/wine", PELVARO_HIDDEN_STATION_LAUNCHER, exe.string()},
                    display);
  }

  vcom::ProcessResult run_wine(std::vector<vcom::VirtualPort>& ports,
                               const std::vector<std::string>& argv, const std::string& display,
                               const std::vector<std::string>& more_environment = {}) {
    link_ports(ports);
    auto environment = wine_environment(display);
    environment.insert(environment.end(), more_environment.begin(), more_environment.end());
    auto result = vcom::run_process(argv, run_limit, environment);
    wine_tool({"/usr/bin/wineserver", "-w"});
    unlink_ports(ports);
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  // Starts `count` runs of pelvaro.exe at the same moment, without a display.
  std::vector<vcom::ProcessResult> run_together(int count, std::vector<vcom::VirtualPort>& ports,
                                                const std::vector<std::string>& more_environment) {
    link_ports(ports);
    auto environment = wine_environment();
    environment.insert(environment.end(), more_environment.begin(), more_environment.end());
    const std::vector<std::string> argv{"/usr/bin/wine", (folder.path() / "pelvaro.exe").string()};
    auto server = start_shared_server();
    std::vector<std::future<vcom::ProcessResult>> running;
    for (int i = 0; i < count; ++i) {
      running.push_back(std::async(std::launch::async, [&argv, &environment] {
        return vcom::run_process(argv, run_limit, environment);
      }));
    }
    std::vector<vcom::ProcessResult> results;
    for (auto& run : running) results.push_back(run.get());
    wine_tool({"/usr/bin/wineserver", "-k"});
    server.get();
    unlink_ports(ports);
    for (const auto& result : results) EXPECT_FALSE(result.timed_out);
    return results;
  }

  // A Wine server for runs that share it, in a run of its own that lasts until `wineserver -k`:
  // started by the first of them, it would end with that run, under the others. Returns once the
  // server listens on its socket.
  static std::future<vcom::ProcessResult> start_shared_server() {
    auto server = std::async(std::launch::async, [] {
      return vcom::run_process({"/usr/bin/wineserver", "--foreground", "--persistent"}, run_limit,
                               wine_environment());
    });
    const auto deadline = std::chrono::steady_clock::now() + hang_bound(std::chrono::seconds{5});
    while (!server_listening() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds{10});
    }
    EXPECT_TRUE(server_listening()) << "no Wine server for " << prefix();
    return server;
  }

  // Whether the prefix's Wine server has its socket: in a folder named after the prefix's device
  // and inode, inside /tmp/.wine-<uid> or, as Debian's Wine makes it, /tmp/wine-XXXXXX.
  static bool server_listening() {
    struct stat prefix_status {};
    if (::stat(prefix().c_str(), &prefix_status) != 0) return false;
    char name[64];
    std::snprintf(name, sizeof name, "server-%llx-%llx",
                  static_cast<unsigned long long>(prefix_status.st_dev),
                  static_cast<unsigned long long>(prefix_status.st_ino));
    std::error_code error;
    for (const auto& entry : fs::directory_iterator{"/tmp", error}) {
      const std::string folder = entry.path().filename().string();
      if (!folder.starts_with("wine-") && !folder.starts_with(".wine-")) continue;
      if (fs::exists(entry.path() / name / "socket", error)) return true;
    }
    return false;
  }

  // Points the prefix's COMn links at the ports' pseudo-terminals.
  static void link_ports(std::vector<vcom::VirtualPort>& ports) {
    for (auto& port : ports) {
      const fs::path link = com_link(port);
      fs::remove(link);
      fs::create_symlink(port.pty_path(), link);
    }
  }

  static void unlink_ports(std::vector<vcom::VirtualPort>& ports) {
    for (auto& port : ports) fs::remove(com_link(port));
  }

  static fs::path com_link(const vcom::VirtualPort& port) {
    return prefix() / "dosdevices" / ("com" + std::to_string(port.com()));
  }

  struct Reported {
    vcom::ProcessResult run;
    vcom::ProcessResult box;  // what the message box reader found there
  };

  // Runs pelvaro.exe while a Windows program beside it waits for its message box, reads the
  // box's text through the Windows API and dismisses it.
  Reported run_until_reported(std::vector<vcom::VirtualPort>& ports,
                              const std::string& display = {}, const fs::path& directory = {}) {
    auto running = std::async(std::launch::async, [&] { return run(ports, display, directory); });
    auto box = read_message_box(display);
    return {running.get(), std::move(box)};
  }
  Reported run_program_until_reported(std::vector<vcom::VirtualPort>& ports,
                                      const std::string& program) {
    auto running = std::async(std::launch::async, [&] {
      return run_wine(ports, {"/usr/bin/wine", program}, {});
    });
    auto box = read_message_box({});
    return {running.get(), std::move(box)};
  }

  vcom::ProcessResult read_message_box(const std::string& display) {
    const fs::path reader =
        fs::path{PELVARO_WINDOWS_EXECUTABLE}.parent_path() / "message_box_reader.exe";
    EXPECT_TRUE(fs::exists(reader)) << reader << " has not been built";
    return vcom::run_process({"/usr/bin/wine", reader.string(), "pelvaro", "30"}, run_limit,
                             wine_environment(display));
  }

  // The report of a settings file pelvaro cannot use, as it stands on standard error and in the
  // box.
  std::string settings_report(const std::string& problem) const {
    return "pelvaro: run-time error 380: Invalid property value: settings file " +
           windows_path(folder.path() / "pelvaro.txt") + ": " + problem;
  }

  // The run was reported in full, on standard error and in its box, and nothing was sent.
  static void expect_reported_alone(const Reported& reported, const std::string& report,
                                    std::vector<vcom::VirtualPort>& ports) {
    EXPECT_EQ(reported.run.exit_status, 2);
    EXPECT_EQ(reported.run.standard_error, report + "\r\n");
    EXPECT_EQ(reported.box.standard_output, report);
    for (auto& port : ports) EXPECT_EQ(port.take_received(), "") << "COM" << port.com();
  }

  // A path on this system as Wine's programs see it, on its drive Z:.
  static std::string windows_path(const fs::path& path) {
    std::string windows = "Z:" + path.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
  }

  static void expect_9600_one_stop_bit(const vcom::VirtualPort& port) {
    const termios line = port.line();  // a pty shows neither parity nor data bits
    EXPECT_EQ(::cfgetospeed(&line), B9600);
    EXPECT_FALSE(line.c_cflag & CSTOPB);
  }

  TemporaryDirectory folder;
  static inline std::string unavailable_;
};

TEST_F(WineRun, SendsOneByteWithoutADisplay) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({1, 3});
  const auto result = run(ports);
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(ports[1].take_received(), "a");
  expect_9600_one_stop_bit(ports[1]);
  EXPECT_EQ(ports[0].take_received(), "");
}

TEST_F(WineRun, SendsOneByteOnADesktop) {
  if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
  const XServer server{false};
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  EXPECT_EQ(run(ports, server.display()).exit_status, 0);
  EXPECT_EQ(ports[0].take_received(), "a");
  expect_9600_one_stop_bit(ports[0]);
}

TEST_F(WineRun, ReachesPortsFromCom10Up) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=12\r\n");
  auto ports = vcom::virtual_ports({1, 12});
  EXPECT_EQ(run(ports).exit_status, 0);
  EXPECT_EQ(ports[1].take_received(), "a");
  EXPECT_EQ(ports[0].take_received(), "");
}

TEST_F(WineRun, KapaliSendsNothing) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=KAPALI\r\n");
  auto ports = vcom::virtual_ports({1, 3});
  EXPECT_EQ(run(ports).exit_status, 3);
  for (auto& port : ports) EXPECT_EQ(port.take_received(), "");
}

// KAPALI as Turkish spells it, in each encoding a Windows editor saves, read under the Turkish
// code page (1254), an English one (1252), and ones without ı or İ (1251 Cyrillic, 932 Japanese,
// where the 8-bit profile lookup turns them into '?'): sending is switched off and nothing goes
// out. One batch file runs a copy of pelvaro.exe for each file and echoes its exit status (on a
// window station nobody sees, so that a spelling that is refused ends rather than waits on its
// box).
TEST_F(WineRun, KapaliInTurkishSpellingsAndEncodingsSendsNothingWhateverTheCodePage) {
  std::string batch = "@echo off\r\n";
  std::string expected;
  std::vector<std::string> saved;
  for (const auto spelling : kapali_spellings) {
    for (const auto encoding : editor_encodings) {
      const std::string name = std::string{"k"}.append(std::to_string(saved.size()));
      install_into(folder.path() / name);
      folder.write(name + "/pelvaro.txt", settings_saved_as(spelling, encoding));
      batch.append("\"%~dp0").append(name).append("\\pelvaro.exe\"\r\necho ");
      batch.append(name).append(" %ERRORLEVEL%\r\n");
      expected.append(name).append(" 3\r\n");
      saved.push_back(name + ": " + encoded(spelling, SavedAs::utf8) + " saved as " +
                      name_of(encoding));
    }
  }
  const fs::path script = folder.write("kapali.bat", batch);
  for (const std::string locale :
       {"LC_ALL=tr_TR.UTF-8", "LC_ALL=en_US.UTF-8", "LC_ALL=ru_RU.UTF-8", "LC_ALL=ja_JP.UTF-8"}) {
    auto ports = vcom::virtual_ports({1, 3});
    const auto result = run_unseen(ports, "cmd.exe", {"/c", windows_path(script)}, {locale});
    EXPECT_EQ(result.standard_output, expected) << locale << " (0 sent, 2 refused)\n"
                                                << ::testing::PrintToString(saved);
    EXPECT_EQ(result.standard_error.find("run-time error"), std::string::npos)
        << locale << ": " << result.standard_error;
    for (auto& port : ports) EXPECT_EQ(port.take_received(), "") << locale;
  }
}

TEST_F(WineRun, ATypoOfKapaliIsStillReportedAsItIs) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=KAPALY\r\n");
  auto ports = vcom::virtual_ports({3});
  expect_reported_alone(
      run_until_reported(ports),
      settings_report("com=\"KAPALY\" is not one of the choices KAPALI, 1, 2, ..., 25"), ports);
}

// The window is never let become active (a hook refuses each activation, as the foreground lock
// may) and then goes: closed as by "Close window" on the taskbar, destroyed, or never created.
// The send still happens, and the status says what the line got: 0 with the byte on COM3, 1 where
// there is no COM3 to take it.
TEST_F(WineRun, AWindowThatGoesBeforeItIsActiveStillSendsAndTheStatusSaysWhatWentOut) {
  if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(fs::exists(PELVARO_REFUSED_ACTIVATION_LAUNCHER));
  const XServer server{false};
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  const std::string exe = (folder.path() / "pelvaro.exe").string();
  for (const std::string how : {"close", "destroy", "uncreated"}) {
    auto ports = vcom::virtual_ports({2, 3});
    const auto sent = run_wine(
        ports, {"/usr/bin/wine", PELVARO_REFUSED_ACTIVATION_LAUNCHER, how, exe}, server.display());
    EXPECT_EQ(sent.exit_status, 0) << how << ": " << sent.standard_error;
    EXPECT_EQ(ports[1].take_received(), "a") << how;
    EXPECT_EQ(ports[0].take_received(), "") << how;
    EXPECT_TRUE(ended_within(sent.elapsed, std::chrono::seconds{10})) << how;

    auto no_com3 = vcom::virtual_ports({2});
    const auto not_sent =
        run_wine(no_com3, {"/usr/bin/wine", PELVARO_REFUSED_ACTIVATION_LAUNCHER, how, exe},
                 server.display());
    EXPECT_EQ(not_sent.exit_status, 1) << how << ": " << not_sent.standard_error;
    EXPECT_EQ(no_com3[0].take_received(), "") << how;
  }
}

// Wine runs a serial port's driver calls inside the program's own process, so a preloaded fault
// there is a driver that holds pelvaro.exe's call: its settings (SetCommState), room for the byte
// (the write), its output queue (ClearCommError), discarding that queue (PurgeComm) or its close
// (CloseHandle). Each run must end with status 1 and nothing on standard error, within the call's
// bound after Wine's own start, timed beside it in a run without a fault.
TEST_F(WineRun, EachDriverCallThatDoesNotReturnIsGivenUpOnInBoundedTime) {
  using std::chrono::milliseconds;
  struct Fault {
    const char* name;
    milliseconds bound;
    const char* received;
  };
  const Fault faults[] = {
      {"stuck-settings", milliseconds{6100}, ""},  // the open's bound and a cancel's grace
      {"stuck-write", milliseconds{2700}, ""},     // room for the byte, then its release
      {"stuck-queue", milliseconds{1100}, "a"},    // the drain's bound
      {"stuck-status", milliseconds{1200}, "a"},   // the drain's bound and a cancel's grace
      {"stuck-close", milliseconds{600}, "a"},     // the release's bound and a cancel's grace
      // The drain's bound, then the release's and a cancel's grace, PurgeComm held.
      {"stuck-queue,stuck-flush", milliseconds{1700}, "a"},
  };
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto clean = vcom::virtual_ports({3});
  const auto start = run(clean);
  ASSERT_EQ(start.exit_status, 0) << start.standard_error;
  for (const Fault& fault : faults) {
    auto ports = vcom::virtual_ports({3});
    const auto result =
        run(ports, {}, {},
            {"LD_PRELOAD=" LINE_FAULTS_LIBRARY, std::string{"LINE_FAULT="} + fault.name});
    EXPECT_EQ(result.exit_status, 1) << fault.name;
    EXPECT_EQ(result.standard_error, "") << fault.name;
    EXPECT_TRUE(ended_within(beyond(result, start), fault.bound + milliseconds{1500}))
        << fault.name;
    EXPECT_EQ(ports[0].take_received(), fault.received) << fault.name;
  }
}

// What the line-fault library's log (LINE_LOG) shows of one process's use of the line.
struct LineUse {
  std::chrono::nanoseconds first{};
  std::chrono::nanoseconds last{};
  int writes = 0;
  std::vector<std::string> modem_lines;  // "dtr=D rts=R" after each change, in order
};

std::vector<LineUse> line_uses(const fs::path& log) {
  std::ifstream in{log};
  std::map<int, LineUse> by_process;
  int process = 0;
  long long at = 0;
  std::string call;
  while (in >> process >> at && std::getline(in >> std::ws, call)) {
    const auto [entry, first] = by_process.try_emplace(process);
    LineUse& use = entry->second;
    if (first) use.first = std::chrono::nanoseconds{at};
    use.last = std::chrono::nanoseconds{at};
    if (call == "write") ++use.writes;
    if (call.starts_with("lines ")) use.modem_lines.push_back(call.substr(6));
  }
  std::vector<LineUse> uses;
  for (auto& [ignored, use] : by_process) uses.push_back(std::move(use));
  std::sort(uses.begin(), uses.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return uses;
}

// Each process's first call on the line comes after the one before it made its last.
void expect_one_at_a_time(const std::vector<LineUse>& uses) {
  for (std::size_t i = 1; i < uses.size(); ++i) {
    EXPECT_GT(uses[i].first, uses[i - 1].last)
        << "runs " << i << " and " << i + 1 << " had the line at the same time";
  }
}

std::vector<std::string> logging_line_use(const fs::path& log) {
  return {"LD_PRELOAD=" LINE_FAULTS_LIBRARY, "LINE_LOG=" + log.string()};
}

// Runs started together (a double click, a burst of events): Wine opens the port for every one of
// them at once, so what keeps them apart is pelvaro's own turn. Each sends its byte, once, says 0,
// and ends within the turn's bound and its own send beyond Wine's start.
TEST_F(WineRun, RunsStartedTogetherTakeTurnsAndEachSendsItsByte) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  const auto start = run(ports);
  ASSERT_EQ(start.exit_status, 0) << start.standard_error;
  ports[0].take_received();
  const fs::path log = folder.path() / "line.log";
  const auto results = run_together(5, ports, logging_line_use(log));
  for (const auto& result : results) {
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    EXPECT_TRUE(ended_within(beyond(result, start), turn_limit + start_margin));
  }
  EXPECT_EQ(ports[0].take_received(), "aaaaa");
  const auto uses = line_uses(log);
  EXPECT_EQ(uses.size(), 5u);
  expect_one_at_a_time(uses);
}

// The same on a line whose output never drains: each run that has its turn writes its byte, gives
// up on it at the drain's bound and passes the turn on; a run whose turn does not come within the
// turn's bound sends nothing. Every run ends with 1, in bounded time.
TEST_F(WineRun, RunsStartedTogetherOnALineThatNeverDrainsEachGiveUpInBoundedTime) {
  // The turn, then the drain's bound and the release's with a cancel's grace.
  constexpr std::chrono::milliseconds bound = turn_limit + std::chrono::milliseconds{1700};
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  const auto start = run(ports);
  ASSERT_EQ(start.exit_status, 0) << start.standard_error;
  ports[0].take_received();
  const fs::path log = folder.path() / "line.log";
  auto environment = logging_line_use(log);
  environment.push_back("LINE_FAULT=stuck-queue");
  const auto results = run_together(5, ports, environment);
  for (const auto& result : results) {
    EXPECT_EQ(result.exit_status, 1) << result.standard_error;
    EXPECT_TRUE(ended_within(beyond(result, start), bound + start_margin));
  }
  const auto uses = line_uses(log);
  expect_one_at_a_time(uses);
  for (const auto& use : uses) EXPECT_EQ(use.writes, 1);
  EXPECT_EQ(ports[0].take_received(), std::string(uses.size(), 'a'));
}

// Another program holding the port, as one on Linux holds a terminal: in exclusive mode, which
// Wine's server runs into when it opens the device for pelvaro.exe. The mode stops programs
// without the capability CAP_SYS_ADMIN only, so as root Wine runs without it.
class HeldPort : public WineRun {
 protected:
  std::vector<std::string> wine_command() const {
    std::vector<std::string> argv;
    if (::geteuid() == 0) {
      argv = {"/usr/bin/setpriv", "--inh-caps=-sys_admin", "--bounding-set=-sys_admin", "--"};
    }
    argv.push_back("/usr/bin/wine");
    argv.push_back((folder.path() / "pelvaro.exe").string());
    return argv;
  }

  vcom::ProcessResult run_held(std::vector<vcom::VirtualPort>& ports) {
    return run_wine(ports, wine_command(), {});
  }

  static void set_exclusive(const FileDescriptor& holder, bool exclusive) {
    ASSERT_EQ(::ioctl(holder.get(), exclusive ? TIOCEXCL : TIOCNXCL), 0);
  }
};

TEST_F(HeldPort, IsRefusedAtTheTurnsBoundOrUsedWhenGivenBackBefore) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  const auto start = run_held(ports);
  ASSERT_EQ(start.exit_status, 0) << start.standard_error;
  ASSERT_EQ(ports[0].take_received(), "a");
  const FileDescriptor holder{::open(ports[0].pty_path().c_str(), O_RDWR | O_NOCTTY)};
  ASSERT_TRUE(holder.valid());

  set_exclusive(holder, true);
  const auto refused = run_held(ports);
  EXPECT_EQ(refused.exit_status, 1) << refused.standard_error;
  EXPECT_TRUE(ended_within(beyond(refused, start), turn_limit + start_margin));
  EXPECT_EQ(ports[0].take_received(), "");

  std::thread giving_back{[&holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds{1000});
    set_exclusive(holder, false);
  }};
  const auto waited = run_held(ports);
  giving_back.join();
  EXPECT_EQ(waited.exit_status, 0) << waited.standard_error;
  EXPECT_EQ(ports[0].take_received(), "a");
}

// A pseudo-terminal has no modem-control lines: the line-fault library gives it some and logs
// each change Wine's serial code makes of them for pelvaro.exe's settings, as a serial driver
// would get it. From either state a run may find the lines in (raised, as Linux raises them at
// every open of a port, or off, as a run before left them), DTR and RTS end off, and neither is
// ever raised.
TEST_F(WineRun, HoldsDtrAndRtsOffAndNeverRaisesThem) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  for (const std::string found : {"dtr,rts", "none"}) {
    const fs::path log = folder.path() / ("lines-" + found + ".log");
    auto environment = logging_line_use(log);
    environment.push_back("LINE_MODEM=" + found);
    auto ports = vcom::virtual_ports({3});
    const auto result = run(ports, {}, {}, environment);
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    EXPECT_EQ(ports[0].take_received(), "a");
    const auto uses = line_uses(log);
    ASSERT_EQ(uses.size(), 1u) << found;
    const auto& lines = uses[0].modem_lines;
    ASSERT_FALSE(lines.empty()) << found << ": no modem-control request reached the line";
    bool dtr = found.find("dtr") != std::string::npos;
    bool rts = found.find("rts") != std::string::npos;
    for (const std::string& state : lines) {
      const bool dtr_now = state.find("dtr=1") != std::string::npos;
      const bool rts_now = state.find("rts=1") != std::string::npos;
      EXPECT_FALSE(dtr_now && !dtr) << found << ": DTR raised";
      EXPECT_FALSE(rts_now && !rts) << found << ": RTS raised";
      dtr = dtr_now;
      rts = rts_now;
    }
    EXPECT_EQ(lines.back(), "dtr=0 rts=0") << found;
  }
}

TEST_F(WineRun, ABatchFileSeesTheExitStatusAsDoesStartWait) {
  // pelvaro.exe is a window program: cmd waits for it in a batch file or with start /wait only.
  const fs::path batch =
      folder.write("run.bat",
                   "@echo off\r\n\"%~dp0pelvaro.exe\"\r\necho batch: %ERRORLEVEL%\r\n"
                   "start \"\" /wait \"%~dp0pelvaro.exe\"\r\necho start /wait: %ERRORLEVEL%\r\n");
  for (const auto& [setting, status] : {std::pair{"KAPALI", "3"}, std::pair{"7", "1"}}) {
    folder.write("pelvaro.txt", std::string{"[ayar]\r\ncom="} + setting + "\r\n");
    const auto result = vcom::run_process({"/usr/bin/wine", "cmd", "/c", windows_path(batch)},
                                          run_limit, wine_environment());
    wine_tool({"/usr/bin/wineserver", "-w"});
    EXPECT_EQ(result.standard_output,
              std::string{"batch: "} + status + "\r\nstart /wait: " + status + "\r\n");
  }
}

TEST_F(WineRun, FindsItsSettingsInAFolderTheAnsiCodePageCannotSpell) {
  const fs::path odd = folder.path() / "r\xC3\xB6le-\xE4\xB8\xAD\xE6\x96\x87";  // "röle-中文"
  install_into(odd);
  TemporaryDirectory::write_to(odd / "pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  EXPECT_EQ(run(ports, {}, odd).exit_status, 0);
  EXPECT_EQ(ports[0].take_received(), "a");
}

// Nested folders, each named `name`, `depth` deep under `base`.
fs::path nested(const fs::path& base, const std::string& name, int depth) {
  fs::path path = base;
  for (int i = 0; i < depth; ++i) path /= name;
  return path;
}

TEST_F(WineRun, FindsItsSettingsInAFolderWithNoShortNameTheProfileApiCanTake) {
  // The folder's name fits, but the ANSI code page cannot spell it, and its short name, made of
  // one 8.3 name for each "中", is far beyond 260 characters: only the current directory reaches
  // it.
  const fs::path deep = nested(folder.path(), "\xE4\xB8\xAD", 60);  // "中"
  expect_sends_on_com3_from(deep);
}

TEST_F(WineRun, FindsItsSettingsBeyond260Characters) {
  const fs::path deep = nested(folder.path(), std::string(50, 'p'), 6);
  ASSERT_GT(deep.string().size(), 300u);
  expect_sends_on_com3_from(deep);
}

// A drive P: for the test's folder, on which nested folders of 8.3 names have short names
// exactly as long as their long ones.
class EightThreeDrive {
 public:
  EightThreeDrive(const fs::path& prefix, const fs::path& target)
      : link_(prefix / "dosdevices" / "p:") {
    fs::remove(link_);
    fs::create_symlink(target, link_);
    target_ = target;
  }
  EightThreeDrive(const EightThreeDrive&) = delete;
  EightThreeDrive& operator=(const EightThreeDrive&) = delete;
  ~EightThreeDrive() { fs::remove(link_); }

  struct Folder {
    fs::path here;        // on this system
    std::string windows;  // on P:, `length` characters
  };
  Folder folder_of_length(std::size_t length) const {
    Folder folder{target_, "P:"};
    const auto add = [&](const std::string& name) {
      folder.here /= name;
      folder.windows += "\\" + name;
    };
    while (folder.windows.size() + 10 < length) add(std::string(8, 'p'));
    if (length - folder.windows.size() == 10) add("ppppp");
    add(std::string(length - folder.windows.size() - 1, 'q'));
    return folder;
  }

 private:
  fs::path link_;
  fs::path target_;
};

TEST_F(WineRun, FindsItsSettingsInEveryFolderTheProfileApiReaches) {
  // The profile API reads a path of fewer than 260 characters: a folder of up to 247 beside
  // "\pelvaro.txt", whether named directly or made the current directory.
  const EightThreeDrive drive{prefix(), folder.path()};
  for (const std::size_t length : {228u, 240u, 247u}) {
    const auto [here, windows] = drive.folder_of_length(length);
    ASSERT_EQ(windows.size(), length);
    install_into(here);
    TemporaryDirectory::write_to(here / "pelvaro.txt", "[ayar]\r\ncom=3\r\n");
    auto ports = vcom::virtual_ports({3});
    const auto result = run_unseen(ports, windows + "\\pelvaro.exe");
    EXPECT_EQ(result.exit_status, 0) << length << ": " << result.standard_error;
    EXPECT_EQ(ports[0].take_received(), "a") << length;
  }
  // Beyond that neither route reaches the file: that is said, not "not found" or "no section".
  const auto [here, windows] = drive.folder_of_length(250);
  install_into(here);
  TemporaryDirectory::write_to(here / "pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  const auto [result, box] = run_program_until_reported(ports, windows + "\\pelvaro.exe");
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_NE(result.standard_error.find("run-time error 75: "), std::string::npos)
      << result.standard_error;
  EXPECT_EQ(ports[0].take_received(), "");
}

TEST_F(WineRun, AFolderNoSpellingReachesIsAPathErrorNotASettingsOne) {
  // Even the short names of this folder are beyond 260 characters, and so is the folder itself.
  const fs::path deep = nested(folder.path(), std::string(20, 'q'), 30);
  install_into(deep);
  TemporaryDirectory::write_to(deep / "pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  auto ports = vcom::virtual_ports({3});
  const auto [result, box] = run_until_reported(ports, {}, deep);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_NE(result.standard_error.find("run-time error 75:"), std::string::npos)
      << result.standard_error;
  EXPECT_EQ(box.standard_output + "\r\n", result.standard_error);
  EXPECT_EQ(ports[0].take_received(), "");
}

TEST_F(WineRun, EachUnusableSettingIsReportedInTheMessageBoxAsOnStandardError) {
  const std::string report = "pelvaro: run-time error 380: Invalid property value: settings file " +
                             windows_path(folder.path() / "pelvaro.txt") + ": ";
  const std::pair<std::string, std::string> cases[] = {
      {"", "not found"},  // no settings file at all
      {"\xEF\xBB\xBF[other]\r\ncom=3\r\n",
       "no section [ayar] (the file starts with a UTF-8 byte-order mark, which hides a section on "
       "its first line from Windows: save it as ANSI or UTF-16)"},
      {"[ayar]\r\nport=3\r\n", "no key com in section [ayar]"},
      {"[ayar]\r\ncom=30\r\n", "com=\"30\" is not one of the choices KAPALI, 1, 2, ..., 25"},
  };
  for (const auto& [settings, reason] : cases) {
    if (!settings.empty()) folder.write("pelvaro.txt", settings);
    auto ports = vcom::virtual_ports({3});
    const auto [result, box] = run_until_reported(ports);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.standard_error, report + reason + "\r\n");
    EXPECT_EQ(box.exit_status, 0) << "no message box was found and dismissed";
    EXPECT_EQ(box.standard_output, report + reason);
    EXPECT_EQ(ports[0].take_received(), "");
  }
  fs::remove(folder.path() / "pelvaro.txt");
  fs::create_directory(folder.path() / "pelvaro.txt");
  auto ports = vcom::virtual_ports({3});
  EXPECT_EQ(run_until_reported(ports).box.standard_output, report + "not a regular file");
}

TEST_F(WineRun, TheMessageBoxOnADesktopShowsTheReport) {
  if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
  const XServer server{false};
  auto ports = vcom::virtual_ports({3});  // and no settings file
  expect_reported_alone(run_until_reported(ports, server.display()), settings_report("not found"),
                        ports);
}

// On a window station nobody sees there is no window and no box: the run sends, or reports on
// standard error alone and ends, even with a desktop at hand that a box could wait on.
TEST_F(WineRun, OnAHiddenWindowStationSendsWithoutWaiting) {
  if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
  if (!fs::exists(PELVARO_HIDDEN_STATION_LAUNCHER)) GTEST_SKIP() << "no hidden-station launcher";
  const XServer server{false};
  auto ports = vcom::virtual_ports({2, 3});
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  const auto result = run_on_hidden_station(ports, server.display());
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;  // 125: the station was visible
  EXPECT_EQ(ports[1].take_received(), "a");
  EXPECT_EQ(ports[0].take_received(), "");
}

TEST_F(WineRun, OnAHiddenWindowStationTheErrorReportIsTheLineAlone) {
  if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
  if (!fs::exists(PELVARO_HIDDEN_STATION_LAUNCHER)) GTEST_SKIP() << "no hidden-station launcher";
  const XServer server{false};
  auto ports = vcom::virtual_ports({3});  // and no settings file
  const auto result = run_on_hidden_station(ports, server.display());
  EXPECT_EQ(result.exit_status, 2) << result.standard_error;  // 124: it waited on a box
  EXPECT_NE(result.standard_error.find("pelvaro: run-time error 380: Invalid property value"),
            std::string::npos)
      << result.standard_error;
  EXPECT_TRUE(ended_within(result.elapsed, std::chrono::seconds{10}));
  EXPECT_EQ(ports[0].take_received(), "");
  XConnection x{server.display()};
  EXPECT_EQ(find_window_titled(x.get(), "pelvaro"), 0u) << "a box nobody would see";
}

// Started through a symbolic link to pelvaro.exe (absolute or relative, by its path here or on
// drive Z:), it reads the settings beside the real file, not the decoy beside the link.
TEST_F(WineRun, StartedThroughASymbolicLinkReadsTheSettingsBesideTheRealFile) {
  folder.write("pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  const TemporaryDirectory elsewhere;
  elsewhere.write("pelvaro.txt", "[ayar]\r\ncom=2\r\n");
  const fs::path absolute = elsewhere.path() / "pelvaro.exe";
  fs::create_symlink(folder.path() / "pelvaro.exe", absolute);
  fs::create_directory(elsewhere.path() / "relative");
  TemporaryDirectory::write_to(elsewhere.path() / "relative" / "pelvaro.txt",
                               "[ayar]\r\ncom=2\r\n");
  const fs::path relative = elsewhere.path() / "relative" / "pelvaro.exe";
  fs::create_symlink(fs::relative(folder.path() / "pelvaro.exe", relative.parent_path()), relative);
  for (const std::string& link :
       {absolute.string(), relative.string(), windows_path(absolute), windows_path(relative)}) {
    auto ports = vcom::virtual_ports({2, 3});
    const auto result = run_unseen(ports, link);
    EXPECT_EQ(result.exit_status, 0) << link << ": " << result.standard_error;
    EXPECT_EQ(ports[1].take_received(), "a") << link;
    EXPECT_EQ(ports[0].take_received(), "") << link;
  }
  // With no settings beside the real file, the report names that file, not the decoy.
  fs::remove(folder.path() / "pelvaro.txt");
  auto ports = vcom::virtual_ports({2, 3});
  const auto [result, box] = run_program_until_reported(ports, absolute.string());
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.standard_error,
            "pelvaro: run-time error 380: Invalid property value: settings file " +
                windows_path(folder.path() / "pelvaro.txt") + ": not found\r\n");
  for (auto& port : ports) EXPECT_EQ(port.take_received(), "");
}

// The Windows zip as a user gets it: unpacked into a folder, set up as its setup text says.
class WindowsZip : public WineRun {
 protected:
  void SetUp() override {
    WineRun::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(PELVARO_WINDOWS_PACKAGE)) GTEST_SKIP() << PELVARO_WINDOWS_PACKAGE " not built";
    fs::create_directories(unpacked());
    const auto result =
        vcom::run_process({PELVARO_CMAKE, "-E", "chdir", unpacked().string(), PELVARO_CMAKE, "-E",
                           "tar", "xf", PELVARO_WINDOWS_PACKAGE},
                          run_limit);
    ASSERT_EQ(result.exit_status, 0) << result.standard_error;
  }

  fs::path unpacked() const { return folder.path() / "unpacked"; }

  std::string read(const std::string& name) const {
    std::ifstream file{unpacked() / name, std::ios::binary};
    return {std::istreambuf_iterator<char>{file}, {}};
  }

  // What the system's readers say of the unpacked pelvaro.exe: "name=value" lines.
  std::string resources() {
    const std::string exe = "Z:" + (unpacked() / "pelvaro.exe").string();  // Z: is the root
    const auto result = vcom::run_process({"/usr/bin/wine", PELVARO_WINDOWS_RESOURCE_READER, exe},
                                          run_limit, wine_environment());
    wine_tool({"/usr/bin/wineserver", "-w"});
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    std::string lines = result.standard_output;
    std::erase(lines, '\r');  // the C runtime's text mode
    return lines;
  }
};

TEST_F(WindowsZip, HoldsTheProgramItsSwitchedOffSettingsAndTheSetupTextAtItsTop) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator{unpacked()}) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"pelvaro.exe", "pelvaro.txt", "setup.txt"}));
  EXPECT_EQ(read("pelvaro.txt"), "[ayar]\r\ncom=KAPALI\r\n");
  EXPECT_TRUE(read("setup.txt").starts_with("pelvaro " PELVARO_VERSION " - "));
}

TEST_F(WindowsZip, SendsFromTheUnpackedFolderOnceItsSettingsNameThePort) {
  auto ports = vcom::virtual_ports({3});
  EXPECT_EQ(run(ports, {}, unpacked()).exit_status, 3);  // as shipped: KAPALI, switched off
  EXPECT_EQ(ports[0].take_received(), "");

  TemporaryDirectory::write_to(unpacked() / "pelvaro.txt", "[ayar]\r\ncom=3\r\n");
  const auto result = run(ports, {}, unpacked());
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(ports[0].take_received(), "a");
}

TEST_F(WindowsZip, TheProgramCarriesItsVersionIconAndManifest) {
  const std::string found = resources();
  for (const std::string line :
       {"file_version=" PELVARO_VERSION, "product_version=" PELVARO_VERSION, "product_name=pelvaro",
        "fixed_version=" PELVARO_VERSION ".0", "icon_sizes=16,24,32,48,64,256",
        "dpi_awareness=system", "dpi_aware=true"}) {
    EXPECT_NE(found.find(line + "\n"), std::string::npos) << line << " not in\n" << found;
  }
  // The side-by-side common controls, version 6, rather than the system folder's old ones.
  const std::size_t controls = found.find("common_controls=");
  ASSERT_NE(controls, std::string::npos) << found;
  const std::string file = found.substr(controls, found.find('\n', controls) - controls);
  EXPECT_NE(file.find("\\winsxs\\"), std::string::npos) << file;
  EXPECT_NE(file.find("common-controls_6595b64144ccf1df_6.0."), std::string::npos) << file;
}

}  // namespace
