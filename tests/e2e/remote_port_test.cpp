// pelvaro on a serial port of another machine: ser2net serving the port there, and on pelvaro's
// machine socat linking a pseudo-terminal, /dev/COM5, to it over TCP. Both run for real, in a
// network namespace of the test's own (loopback alone) and a mount namespace whose /dev is the
// test's, so that socat's link is made there and not in the machine's /dev. The far machine's
// serial port is a pseudo-terminal whose other end the test reads.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/qemu_guest.h"
#include "support/shipped_program.h"
#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using pelvaro::testing::TemporaryDirectory;

constexpr const char* ser2net = "/usr/sbin/ser2net";
constexpr const char* socat = "/usr/bin/socat";
constexpr int remote_com = 5;
// The port ser2net listens on, as /proc/net/tcp writes it: 127.0.0.1:2000.
constexpr int tcp_port = 2000;
constexpr const char* listening_address = "0100007F:07D0";

// A program in a process group of its own, its output in a file. The group is killed when this
// goes, and the program is killed when the test's process dies: nothing it starts outlives the
// test.
class Daemon {
 public:
  Daemon(const std::vector<std::string>& argv, const fs::path& log) : log_(log) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const std::string log_name = log.string();
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork: " + std::string{std::strerror(errno)});
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int out = ::open(log_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int null = ::open("/dev/null", O_RDONLY);
      if (out < 0 || null < 0 || ::dup2(null, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
        ::_exit(127);
      }
      char* const environment[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/bin"), nullptr};
      ::execve(args[0], args.data(), environment);
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // also from this side, so that the group is there before the kill
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() { stop(); }

  // Kills the group and reaps the program, once. A program already reaped is not killed: its
  // number may belong to another by now.
  void stop() {
    if (!reaped_) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      reaped_ = true;
    }
  }

  bool running() {
    if (!reaped_ && ::waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
  }
  std::string log() const { return pelvaro::testing::content_of(log_); }

 private:
  fs::path log_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Waits up to `limit` for `ready`; a hang bound, with room for a busy machine.
template <typename Ready>
bool wait_for(Ready ready, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + limit;
  while (!ready()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Whether this network namespace has a TCP socket on 127.0.0.1:2000 in `state` (0A listening,
// 01 established), from either end.
bool tcp_socket_in_state(const char* state) {
  for (const std::string& line :
       pelvaro::testing::lines_of(pelvaro::testing::content_of("/proc/net/tcp"))) {
    if (line.find(listening_address) != std::string::npos &&
        line.find(std::string{" "} + state + " ") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Brings the namespace's loopback up. ser2net resolves its address with AI_ADDRCONFIG, which
// finds no IPv4 at all where 127.0.0.1 is the only address: a second loopback address, 127.0.0.2,
// is given too.
std::string bring_loopback_up() {
  const pelvaro::FileDescriptor control{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) return "SIOCGIFFLAGS lo";
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  if (::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) return "SIOCSIFFLAGS lo";
  ifreq alias{};
  std::strcpy(alias.ifr_name, "lo:1");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
  std::memcpy(&alias.ifr_addr, &address, sizeof address);
  if (::ioctl(control.get(), SIOCSIFADDR, &alias) != 0) return "SIOCSIFADDR lo:1";
  return {};
}

// Puts this process in a network namespace and a mount namespace of its own whose /dev is a
// tmpfs holding null, zero, random, urandom and the machine's pseudo-terminals, where socat may
// make its link. Returns why not, or the empty text.
std::string enter_own_network_and_devices(const fs::path& stage) {
  const auto failed = [](const std::string& step) { return step + ": " + std::strerror(errno); };
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
    return failed("unshare(CLONE_NEWNET | CLONE_NEWNS)");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failed("mount --make-rprivate /");
  }
  if (std::string step = bring_loopback_up(); !step.empty()) return failed(step);
  if (::mount("devices", stage.c_str(), "tmpfs", 0, "mode=755") != 0) return failed("mount tmpfs");
  for (const char* name : {"null", "zero", "random", "urandom"}) {
    const fs::path target = stage / name;
    TemporaryDirectory::write_to(target, "");
    const std::string source = std::string{"/dev/"} + name;
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return failed("mount --bind " + source);
    }
  }
  fs::create_directory(stage / "pts");
  if (::mount("/dev/pts", (stage / "pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return failed("mount --rbind /dev/pts");
  }
  fs::create_symlink("pts/ptmx", stage / "ptmx");
  // Moved, not bound: the stage folder is left empty, to be removed as any other.
  if (::mount(stage.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) {
    return failed("mount --move /dev");
  }
  return {};
}

class RemotePort : public pelvaro::testing::ShippedProgramTest {
 protected:
  static void SetUpTestSuite() {
    ShippedProgramTest::SetUpTestSuite();
    if (!unavailable_.empty()) return;
    for (const char* tool : {ser2net, socat}) {
      if (!fs::exists(tool)) {
        unavailable_ = std::string{tool} + " is not installed";
        return;
      }
    }
    const TemporaryDirectory stage;
    unavailable_ = enter_own_network_and_devices(stage.path());
  }

  // ser2net serving the far port on 127.0.0.1:2000, raw TCP, as on the machine with the port;
  // then socat as docs/remote-port.md runs it on pelvaro's machine, its link made and connected.
  void connect(const vcom::VirtualPort& far) {
    const fs::path config = folder.write("ser2net.yaml",
                                         "%YAML 1.1\n---\n"
                                         "connection: &far\n"
                                         "  accepter: tcp,127.0.0.1," +
                                             std::to_string(tcp_port) +
                                             "\n"
                                             "  connector: serialdev," +
                                             far.pty_path() + ",9600n81,local\n");
    server_.emplace(std::vector<std::string>{ser2net, "-d", "-u", "-c", config.string()},
                    folder.path() / "ser2net.log");
    ASSERT_TRUE(wait_for([] { return tcp_socket_in_state("0A"); })) << "ser2net does not listen:\n"
                                                                    << server_->log();
    client_.emplace(
        std::vector<std::string>{socat,
                                 "pty,link=" + com_.string() + ",rawer,group=dialout,mode=660",
                                 "tcp:127.0.0.1:" + std::to_string(tcp_port)},
        folder.path() / "socat.log");
    ASSERT_TRUE(wait_for([&] { return fs::is_symlink(com_) && tcp_socket_in_state("01"); }))
        << "socat made no link or no connection:\n"
        << client_->log();
    write_settings("[ayar]\ncom=" + std::to_string(remote_com) + "\n");
  }

  vcom::ProcessResult run_pelvaro() const {
    std::vector<std::string> environment;
    pass_on_sanitizer_options(environment);
    vcom::ProcessResult result =
        vcom::run_process({program().string()}, std::chrono::seconds{20}, environment);
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  const fs::path com_ = "/dev/COM" + std::to_string(remote_com);
  // Declared after the test's folder, so that they are stopped before it goes.
  std::optional<Daemon> server_;
  std::optional<Daemon> client_;
};

TEST_F(RemotePort, EachRunsByteReachesThePortOnTheFarMachine) {
  vcom::VirtualPort far{remote_com};  // the far machine's port; its number there is no matter
  ASSERT_NO_FATAL_FAILURE(connect(far));
  Daemon& server = *server_;
  Daemon& client = *client_;

  // A second run finds the link again: socat outlives the first run's close of the line.
  for (const int run : {1, 2}) {
    const auto started = Clock::now();
    const vcom::ProcessResult result = run_pelvaro();
    EXPECT_EQ(result.exit_status, 0) << "run " << run << ": " << result.standard_error;
    ASSERT_TRUE(wait_for([&] { return far.collect(); }))
        << "run " << run << ": nothing reached the far port\nser2net:\n"
        << server.log() << "socat:\n"
        << client.log();
    const auto arrived = Clock::now() - started;
    // Anything after the byte would come right behind it.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(far.take_received(), "a") << "run " << run;
    std::cout << "run " << run << ": status " << result.exit_status << " after "
              << std::chrono::duration<double, std::milli>(result.elapsed).count()
              << " ms; the byte at the far port "
              << std::chrono::duration<double, std::milli>(arrived).count()
              << " ms after the start\n";
  }
  EXPECT_TRUE(server.running()) << server.log();
  EXPECT_TRUE(client.running()) << client.log();
}

// With the far end gone, socat ends and takes its link along: a run then takes COM5's kernel
// name, /dev/ttyS4, which is not there, and ends with status 1, as docs/remote-port.md says.
TEST_F(RemotePort, WithTheFarEndGoneTheLinkGoesAndARunFails) {
  vcom::VirtualPort far{remote_com};
  ASSERT_NO_FATAL_FAILURE(connect(far));
  server_->stop();
  ASSERT_TRUE(wait_for([&] { return !client_->running() && !fs::is_symlink(com_); }))
      << "socat outlived its connection:\n"
      << client_->log();
  const vcom::ProcessResult result = run_pelvaro();
  EXPECT_EQ(result.exit_status, 1) << result.standard_error;
  EXPECT_EQ(far.take_received(), "");
}

}  // namespace
