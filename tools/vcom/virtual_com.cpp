#include "virtual_com.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "support/temporary_directory.h"

namespace vcom {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_system_error(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void set_nonblocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string read_all_available(int fd) {
  std::string data;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got > 0) {
      data.append(chunk.data(), static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return data;  // EAGAIN: nothing more for now; 0 or EIO: the other side has gone
    }
  }
}

struct Pipe {
  FileDescriptor read_end;
  FileDescriptor write_end;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_system_error("pipe2");
  return {FileDescriptor{fds[0]}, FileDescriptor{fds[1]}};
}

// What the child does between fork and exec, prepared beforehand: no allocation after fork.
struct NamespacePlan {
  std::string stage;                                       // becomes /dev
  std::string locks;                                       // becomes /run/lock, if not empty
  std::vector<std::pair<std::string, std::string>> binds;  // source, target inside stage
  std::vector<char*> argv;
  std::vector<char*> envp;
};

// Reports the failing step and errno through the error pipe and ends the child.
[[noreturn]] void child_fail(int error_pipe, const char* step) {
  const int code = errno;
  const ssize_t ignored1 = ::write(error_pipe, &code, sizeof code);
  const ssize_t ignored2 = ::write(error_pipe, step, std::strlen(step));
  (void)ignored1;
  (void)ignored2;
  ::_exit(127);
}

// Returns the step that failed, or nothing. Allocates nothing: it also runs between fork and exec.
const char* enter_namespace(const NamespacePlan& plan) {
  if (::unshare(CLONE_NEWNS) != 0) return "unshare(CLONE_NEWNS)";
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "mount --make-rprivate /";
  }
  for (const auto& [source, target] : plan.binds) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return "mount --bind a device";
    }
  }
  if (::mount(plan.stage.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return "mount --rbind over /dev";
  }
  if (!plan.locks.empty() &&
      ::mount(plan.locks.c_str(), "/run/lock", nullptr, MS_BIND, nullptr) != 0) {
    return "mount --bind over /run/lock";
  }
  return nullptr;
}

[[noreturn]] void run_child(const NamespacePlan& plan, int out, int err, int error_pipe) {
  if (!plan.stage.empty()) {
    if (const char* failed = enter_namespace(plan)) child_fail(error_pipe, failed);
  }
  const int null = ::open("/dev/null", O_RDONLY);
  if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
    child_fail(error_pipe, "redirect standard streams");
  }
  // The program gets the three standard streams and nothing else of its parent's.
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  ::execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  child_fail(error_pipe, "execve");
}

void plan_command(NamespacePlan& plan, const std::vector<std::string>& argv,
                  const std::vector<std::string>& environment) {
  for (const std::string& arg : argv) plan.argv.push_back(const_cast<char*>(arg.c_str()));
  plan.argv.push_back(nullptr);
  for (const std::string& entry : environment) {
    plan.envp.push_back(const_cast<char*>(entry.c_str()));
  }
  plan.envp.push_back(nullptr);
}

NamespacePlan plan_for(std::span<VirtualPort> ports, const fs::path& stage,
                       const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment) {
  NamespacePlan plan;
  plan.stage = stage.string();
  const auto add_bind = [&](const std::string& source, const std::string& name) {
    const fs::path target = stage / name;
    FileDescriptor placeholder{::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)};
    if (!placeholder.valid()) throw_system_error("create " + target.string());
    plan.binds.emplace_back(source, target.string());
  };
  for (const VirtualPort& port : ports) {
    add_bind(port.pty_path(), port.device_name());
    // Relative, as udev makes it.
    if (!port.link_name().empty()) fs::create_symlink(port.device_name(), stage / port.link_name());
  }
  for (const char* name : {"null", "zero", "random", "urandom"}) {
    add_bind(std::string{"/dev/"} + name, name);
  }
  plan_command(plan, argv, environment);
  return plan;
}

int exit_status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// What the reaper reports once the program has ended.
struct ProgramEnd {
  int wait_status = -1;
  long peak_memory_kib = 0;
};

// The descriptors a run's reaper works with: the program's three streams and its error pipe, and
// its own stop and report pipes.
struct ReaperDescriptors {
  int out;
  int err;
  int error_pipe;
  int stop;    // readable, or hung up, when the program is to be ended: the time is up, or the
               // test that started it has gone
  int report;  // where the ProgramEnd goes
};

// Closes every descriptor but `keep`: a reaper does not exec, so close-on-exec does not keep it
// from holding another run's stop pipe open, which would hide that run's hang-up.
void close_all_but(std::array<int, 5> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned int next = 3;
  for (const int fd : keep) {
    const auto kept = static_cast<unsigned int>(fd);
    if (kept > next) ::close_range(next, kept - 1, 0);
    next = std::max(next, kept + 1);
  }
  ::close_range(next, ~0U, 0);
}

// Signals every child the reaper has now: as a child subreaper it inherits whatever the program
// started and left, in whatever process group or session. Reads /proc's list of them into a
// fixed buffer: no allocation after fork.
void signal_children_of_this_thread(int signal) {
  const int list = ::open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
  if (list < 0) return;
  std::array<char, 4096> text{};
  pid_t pid = 0;
  for (ssize_t got; (got = ::read(list, text.data(), text.size())) > 0;) {
    for (ssize_t i = 0; i < got; ++i) {
      if (text[i] >= '0' && text[i] <= '9') {
        pid = pid * 10 + (text[i] - '0');
      } else if (pid > 0) {
        ::kill(pid, signal);
        pid = 0;
      }
    }
  }
  if (pid > 0) ::kill(pid, signal);
  ::close(list);
}

// Signals the reaper's children until none is left or `bound` has passed; true if none is.
bool signal_children_until_gone(int signal, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  while (Clock::now() < deadline) {
    signal_children_of_this_thread(signal);
    if (signal != SIGKILL) signal_children_of_this_thread(SIGCONT);  // a stopped one, to hear it
    const pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
    if (reaped < 0 && errno == ECHILD) return true;
    if (reaped <= 0) ::usleep(1000);
  }
  return false;
}

// Ends what the program left, a generation at a time: each process that ends hands its children
// to the reaper, which ends them in turn. First asked, so that a server the program started
// (wineserver, say) saves what it holds; then killed, until none is left or a bound has passed (a
// process in an uninterruptible wait). A process group would not do: the program may make a
// session of its own.
void end_everything_left() {
  if (signal_children_until_gone(SIGTERM, std::chrono::seconds{1})) return;
  signal_children_until_gone(SIGKILL, std::chrono::seconds{10});
}

// Waits until the program ends, or kills it when asked to stop.
ProgramEnd wait_for_program(pid_t program, int stop) {
  const int program_fd = static_cast<int>(::syscall(SYS_pidfd_open, program, 0));
  std::array<pollfd, 2> watch{{{program_fd, POLLIN, 0}, {stop, POLLIN, 0}}};
  while (program_fd >= 0 && !(watch[0].revents & POLLIN)) {
    if (::poll(watch.data(), watch.size(), -1) < 0 && errno != EINTR) break;
    if (watch[1].revents) {
      ::kill(program, SIGKILL);
      break;
    }
  }
  if (program_fd >= 0) ::close(program_fd);
  ProgramEnd end;
  rusage usage{};
  while (::wait4(program, &end.wait_status, 0, &usage) < 0 && errno == EINTR) {
  }
  end.peak_memory_kib = usage.ru_maxrss;
  return end;
}

// The run's reaper, between the test and its program: a child subreaper that starts the program
// and, once the program has ended or the test has asked for its end or has gone, ends everything
// the program started, so that nothing outlives the run.
[[noreturn]] void run_reaper(const NamespacePlan& plan, const ReaperDescriptors& fds) {
  close_all_but({fds.out, fds.err, fds.error_pipe, fds.stop, fds.report});
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) child_fail(fds.error_pipe, "be a child subreaper");
  const pid_t program = ::fork();
  if (program < 0) child_fail(fds.error_pipe, "fork");
  if (program == 0) run_child(plan, fds.out, fds.err, fds.error_pipe);
  // A test that has gone leaves no reader of the report: the reaper goes on to its cleanup. (Set
  // after the fork, as the program would inherit the disposition.)
  ::signal(SIGPIPE, SIG_IGN);
  ::close(fds.out);
  ::close(fds.err);
  ::close(fds.error_pipe);
  const ProgramEnd end = wait_for_program(program, fds.stop);
  const ssize_t reported = ::write(fds.report, &end, sizeof end);
  (void)reported;
  end_everything_left();
  ::_exit(0);
}

// Waits for the program's end, collecting its output, until the reaper reports it or the time is
// up; then until the reaper has ended what the program left.
void supervise(pid_t reaper, Pipe& out, Pipe& err, Pipe& stop, Pipe& report,
               std::chrono::milliseconds timeout, std::span<VirtualPort> watched,
               ProcessResult& result, Clock::time_point started) {
  set_nonblocking(out.read_end.get());
  set_nonblocking(err.read_end.get());
  const auto deadline = started + timeout;
  result.first_byte.assign(watched.size(), std::nullopt);
  for (;;) {
    std::vector<pollfd> watch{{report.read_end.get(), POLLIN, 0},
                              {out.read_end.get(), POLLIN, 0},
                              {err.read_end.get(), POLLIN, 0}};
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (!result.first_byte[i]) watch.push_back({watched[i].master_fd(), POLLIN, 0});
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 && !result.timed_out) {
      result.timed_out = true;
      stop.write_end.reset();  // the reaper kills the program, then reports
    }
    ::poll(watch.data(), watch.size(), result.timed_out ? -1 : static_cast<int>(left.count()));
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (!result.first_byte[i] && watched[i].collect()) {
        result.first_byte[i] = Clock::now() - started;
      }
    }
    result.standard_output += read_all_available(out.read_end.get());
    result.standard_error += read_all_available(err.read_end.get());
    if (watch[0].revents & (POLLIN | POLLHUP)) break;
  }
  result.elapsed = Clock::now() - started;
  ProgramEnd end;
  const ssize_t got = ::read(report.read_end.get(), &end, sizeof end);
  int reaper_status = 0;
  while (::waitpid(reaper, &reaper_status, 0) < 0 && errno == EINTR) {
  }
  result.peak_memory_kib = end.peak_memory_kib;
  result.exit_status = got == sizeof end ? exit_status_of(end.wait_status) : -1;
  result.standard_output += read_all_available(out.read_end.get());
  result.standard_error += read_all_available(err.read_end.get());
}

ProcessResult run_planned(const NamespacePlan& plan, const std::vector<std::string>& argv,
                          std::chrono::milliseconds timeout, std::span<VirtualPort> watched) {
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  Pipe errors = make_pipe();
  Pipe stop = make_pipe();
  Pipe report = make_pipe();

  ProcessResult result;
  const auto started = Clock::now();
  const pid_t reaper = ::fork();
  if (reaper < 0) throw_system_error("fork");
  if (reaper == 0) {
    run_reaper(plan, {out.write_end.get(), err.write_end.get(), errors.write_end.get(),
                      stop.read_end.get(), report.write_end.get()});
  }
  out.write_end.reset();
  err.write_end.reset();
  errors.write_end.reset();
  stop.read_end.reset();
  report.write_end.reset();
  supervise(reaper, out, err, stop, report, timeout, watched, result, started);

  const std::string failure = read_all_available(errors.read_end.get());
  if (failure.size() > sizeof(int)) {
    int code = 0;
    std::memcpy(&code, failure.data(), sizeof code);
    const std::string step = failure.substr(sizeof code);
    const std::string what = step + ": " + std::strerror(code);
    if (step == "execve") throw std::runtime_error(argv[0] + ": " + what);
    throw NamespaceUnavailable(what);
  }
  return result;
}

}  // namespace

VirtualPort::VirtualPort(int com, std::string adapter_device) : VirtualPort(com) {
  adapter_device_ = std::move(adapter_device);
}

VirtualPort::VirtualPort(int com) : com_(com) {
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw_system_error("openpty");
  master_ = FileDescriptor{master};
  slave_ = FileDescriptor{slave};
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  set_nonblocking(master);
  pty_path_ = ::ttyname(slave);
  preset_foreign_settings();
}

void VirtualPort::preset_foreign_settings() {
  termios line{};
  ::tcgetattr(slave_.get(), &line);
  line.c_cflag &= ~CLOCAL;
  line.c_cflag |= CSTOPB | CREAD;
  line.c_lflag |= ICANON | ECHO | ISIG;
  line.c_oflag |= OPOST | ONLCR;
  line.c_iflag |= IXON | ICRNL;
  ::cfsetispeed(&line, B1200);
  ::cfsetospeed(&line, B1200);
  if (::tcsetattr(slave_.get(), TCSANOW, &line) != 0) throw_system_error("tcsetattr");
}

termios VirtualPort::line() const {
  termios line{};
  if (::tcgetattr(slave_.get(), &line) != 0) throw_system_error("tcgetattr");
  return line;
}

bool VirtualPort::collect() {
  const std::string arrived = read_all_available(master_.get());
  received_ += arrived;
  return !arrived.empty();
}

void VirtualPort::clear_exclusive_mode() const {
  ::ioctl(slave_.get(), TIOCNXCL);
}

std::string VirtualPort::take_received() {
  collect();
  return std::exchange(received_, {});
}

ProcessResult run_with_ports(std::span<VirtualPort> ports, const std::vector<std::string>& argv,
                             std::chrono::milliseconds timeout,
                             const std::vector<std::string>& environment,
                             const fs::path& lock_directory) {
  const pelvaro::testing::TemporaryDirectory stage;
  const pelvaro::testing::TemporaryDirectory no_locks;
  NamespacePlan plan = plan_for(ports, stage.path(), argv, environment);
  // Without /run/lock (not a Debian machine) there is nothing to hide or to stand in for.
  if (fs::is_directory("/run/lock")) {
    plan.locks = (lock_directory.empty() ? no_locks.path() : lock_directory).string();
  }
  return run_planned(plan, argv, timeout, ports);
}

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          const std::vector<std::string>& environment,
                          std::span<VirtualPort> watched) {
  NamespacePlan plan;
  plan_command(plan, argv, environment);
  return run_planned(plan, argv, timeout, watched);
}

void enter_private_devices(std::span<VirtualPort> ports) {
  // The stage stays behind in /tmp: its files are what /dev is made of from now on.
  std::string stage = (fs::temp_directory_path() / "vcom-dev-XXXXXX").string();
  if (!::mkdtemp(stage.data())) throw_system_error("mkdtemp");
  const NamespacePlan plan = plan_for(ports, stage, {}, {});
  if (const char* failed = enter_namespace(plan)) {
    throw NamespaceUnavailable(std::string{failed} + ": " + std::strerror(errno));
  }
}

std::string namespace_unavailable_reason() {
  try {
    run_with_ports({}, {"/bin/true"}, std::chrono::seconds{10});
    return {};
  } catch (const NamespaceUnavailable& unavailable) {
    return unavailable.what();
  }
}

std::string describe_line(const termios& line) {
  static constexpr std::array<std::pair<speed_t, int>, 17> speeds{{{B50, 50},
                                                                   {B110, 110},
                                                                   {B300, 300},
                                                                   {B600, 600},
                                                                   {B1200, 1200},
                                                                   {B2400, 2400},
                                                                   {B4800, 4800},
                                                                   {B9600, 9600},
                                                                   {B19200, 19200},
                                                                   {B38400, 38400},
                                                                   {B57600, 57600},
                                                                   {B115200, 115200},
                                                                   {B230400, 230400},
                                                                   {B460800, 460800},
                                                                   {B921600, 921600},
                                                                   {B1000000, 1000000},
                                                                   {B4000000, 4000000}}};
  std::string baud = "unusual speed";
  for (const auto& [constant, value] : speeds) {
    if (::cfgetospeed(&line) == constant) baud = std::to_string(value) + " baud";
  }
  const bool raw = !(line.c_lflag & (ICANON | ECHO | ISIG)) && !(line.c_oflag & OPOST);
  return baud + ", " + ((line.c_cflag & CSTOPB) ? "2 stop bits" : "1 stop bit") +
         (raw ? ", raw" : ", cooked");
}

}  // namespace vcom
