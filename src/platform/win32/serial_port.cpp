#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_port.h"
#include "platform/win32/driver_call.h"
#include "platform/win32/port_turn.h"
#include "platform/win32/system_error.h"
#include "platform/win32/win_handle.h"
#include "runtime/deadline.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[noreturn]] void fail(ErrorNumber number, const std::string& port, DWORD code) {
  throw RuntimeError{number, port + ": " + system_error_text(code)};
}

BYTE parity_code(Parity parity) {
  switch (parity) {
    case Parity::none:
      return NOPARITY;
    case Parity::even:
      return EVENPARITY;
    case Parity::odd:
      return ODDPARITY;
    case Parity::mark:
      return MARKPARITY;
    case Parity::space:
      return SPACEPARITY;
  }
  return NOPARITY;
}

BYTE stop_bits_code(StopBits stop_bits) {
  switch (stop_bits) {
    case StopBits::one:
      return ONESTOPBIT;
    case StopBits::one_and_a_half:
      return ONE5STOPBITS;
    case StopBits::two:
      return TWOSTOPBITS;
  }
  return ONESTOPBIT;
}

// Raw 8-bit transfer at the given line settings, no flow control of either kind, the modem
// lines ignored. DTR and RTS are held off, both in this one call: a board that resets when DTR
// rises (an Arduino Uno's auto-reset) is not reset by a run, and one that resets when the two
// differ (an ESP32's auto-reset circuit) sees them alike once the settings are in.
void apply_line_settings(HANDLE port, const std::string& name, const LineSettings& settings) {
  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(port, &line)) fail(ErrorNumber::not_a_serial_port, name, GetLastError());
  line.BaudRate = settings.baud;
  line.ByteSize = static_cast<BYTE>(settings.data_bits);
  line.Parity = parity_code(settings.parity);
  line.StopBits = stop_bits_code(settings.stop_bits);
  line.fBinary = TRUE;
  line.fParity = settings.parity != Parity::none;
  line.fOutxCtsFlow = FALSE;
  line.fOutxDsrFlow = FALSE;
  line.fDtrControl = DTR_CONTROL_DISABLE;
  line.fRtsControl = RTS_CONTROL_DISABLE;
  line.fDsrSensitivity = FALSE;
  line.fOutX = FALSE;
  line.fInX = FALSE;
  line.fErrorChar = FALSE;
  line.fNull = FALSE;
  line.fAbortOnError = FALSE;
  if (!SetCommState(port, &line)) fail(ErrorNumber::line_settings_refused, name, GetLastError());

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // reads return at once: this port only writes
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(write_timeout.count());
  if (!SetCommTimeouts(port, &timeouts)) {
    fail(ErrorNumber::line_settings_refused, name, GetLastError());
  }
}

// How long a run waits before it tries again to open a port that another program holds.
constexpr milliseconds held_port_retry_interval{20};

// How the system says that another program has the port open: Windows refuses a second
// exclusive open with "access denied"; Wine reports a terminal that a Linux program holds in
// exclusive mode as a lock violation.
bool held_by_another_program(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

// Opens the port exclusively and gives it its line settings: one try, run against open_limit.
// Returns nothing if another program holds the port.
std::optional<WinHandle> open_configured(const std::wstring& device, const std::string& name,
                                         const LineSettings& settings) {
  WinHandle handle{CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)};
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    if (held_by_another_program(error)) return std::nullopt;
    fail(ErrorNumber::device_unavailable, name, error);
  }
  if (GetFileType(handle.get()) != FILE_TYPE_CHAR) {
    throw RuntimeError{ErrorNumber::not_a_serial_port, name};
  }
  apply_line_settings(handle.get(), name, settings);
  return handle;
}

// Opens the port, trying again while another program holds it until `turn_deadline`. Each try
// has open_limit of its own, so that the turn's time does not lengthen a try that hangs.
WinHandle open_when_free(const std::wstring& device, const std::string& name,
                         const LineSettings& settings, Clock::time_point turn_deadline) {
  for (;;) {
    auto opened = call_within(open_limit, nullptr, [device, name, settings] {
      return open_configured(device, name, settings);
    });
    if (!opened) fail(ErrorNumber::device_unavailable, name, GetLastError());
    if (*opened) return std::move(**opened);
    if (Clock::now() + held_port_retry_interval >= turn_deadline) {
      throw RuntimeError{ErrorNumber::port_in_use, name};
    }
    std::this_thread::sleep_for(held_port_retry_interval);
  }
}

// One overlapped write: the bytes, the OVERLAPPED and its event, which the driver uses until the
// write has completed or been cancelled.
struct OverlappedWrite {
  std::vector<std::byte> bytes;
  OVERLAPPED overlapped{};
  WinHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

  explicit OverlappedWrite(std::vector<std::byte> data) : bytes(std::move(data)) {
    overlapped.hEvent = done.get();
  }
};

// Cancels a write that did not complete in time and waits a bounded time for the driver to let
// go of it. A driver that does not may still read the bytes and write into the OVERLAPPED later,
// so they are then left allocated for the rest of the process rather than freed under the driver.
void give_up(HANDLE port, std::unique_ptr<OverlappedWrite> write) {
  CancelIoEx(port, &write->overlapped);
  PurgeComm(port, PURGE_TXCLEAR | PURGE_TXABORT);
  if (WaitForSingleObject(write->done.get(), static_cast<DWORD>(release_limit.count())) !=
      WAIT_OBJECT_0) {
    static_cast<void>(write.release());
  }
}

// Writes all of `bytes` with one overlapped write, waited for against write_timeout. Returns the
// number of bytes written.
DWORD write_overlapped(HANDLE port, const std::string& name, std::vector<std::byte> bytes) {
  auto write = std::make_unique<OverlappedWrite>(std::move(bytes));
  if (!write->done.valid()) fail(ErrorNumber::write_failed, name, GetLastError());
  const auto deadline = Clock::now() + write_timeout;
  if (!WriteFile(port, write->bytes.data(), static_cast<DWORD>(write->bytes.size()), nullptr,
                 &write->overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    fail(ErrorNumber::write_failed, name, GetLastError());
  }
  if (WaitForSingleObject(write->done.get(), static_cast<DWORD>(milliseconds_left(deadline))) !=
      WAIT_OBJECT_0) {
    give_up(port, std::move(write));
    fail(ErrorNumber::write_failed, name, ERROR_TIMEOUT);
  }
  DWORD written = 0;
  if (!GetOverlappedResult(port, &write->overlapped, &written, FALSE)) {
    fail(ErrorNumber::write_failed, name, GetLastError());
  }
  if (written != write->bytes.size()) fail(ErrorNumber::write_failed, name, ERROR_TIMEOUT);
  return written;
}

// Waits until the driver's output queue is empty, against a deadline. Returns ERROR_SUCCESS or
// what went wrong.
DWORD wait_until_drained(HANDLE port, Clock::time_point deadline) {
  for (;;) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) {
      // A removed adapter fails the call: never an empty queue, whatever code the driver left.
      const DWORD error = GetLastError();
      return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    }
    if (status.cbOutQue == 0) return ERROR_SUCCESS;
    if (Clock::now() >= deadline) return ERROR_TIMEOUT;
    std::this_thread::sleep_for(drain_poll_interval);
  }
}

// The port's handle, shared with the calls made on it: a call that the driver holds past its
// bound keeps the handle open until it returns, so that it never acts on a handle closed (and
// perhaps reused) under it.
using SharedPort = std::shared_ptr<WinHandle>;

// Gives the port back against release_limit: discards what is still on its way when asked, then
// closes. Returns ERROR_SUCCESS or why closing failed.
DWORD release(SharedPort port, bool discard) {
  // No device to cancel on at the limit: the call may have closed the handle by then.
  const auto closed = call_within(release_limit, nullptr, [port = std::move(port), discard] {
    if (discard) PurgeComm(port->get(), PURGE_TXCLEAR | PURGE_TXABORT);
    if (port.use_count() > 1) return DWORD{ERROR_SUCCESS};  // a held call closes it on return
    return port->reset() ? DWORD{ERROR_SUCCESS} : GetLastError();
  });
  return closed ? *closed : GetLastError();
}

// Every call into the driver runs on a thread of its own against its bound (driver_call.h), as
// a plain write, a settings call or FlushFileBuffers waits as long as the driver does. The write
// is overlapped and timed on that thread; FlushFileBuffers is not called at all: on a serial port
// it only waits for the writes before it to complete, which the write's own completion and the
// empty output queue show, within a bound. Each bound of a thread's own comes first; the one it
// runs against is a cancel grace later, for a call that the driver holds.
// The run's turn at the port is given back once the port is closed (or its close left to the
// driver), on the thread that took it.
class WindowsSerialPort final : public SerialPort {
 public:
  WindowsSerialPort(std::string name, WinHandle handle, const LineSettings& settings, PortTurn turn)
      : turn_(std::move(turn)),
        name_(std::move(name)),
        port_(std::make_shared<WinHandle>(std::move(handle))),
        settings_(settings) {}

  ~WindowsSerialPort() override {
    if (port_) release(std::move(port_), true);
  }

  void write(std::span<const std::byte> bytes) override {
    const auto written = call_within(
        write_timeout + release_limit + cancel_grace, port_->get(),
        [port = port_, name = name_, bytes = std::vector<std::byte>(bytes.begin(), bytes.end())] {
          return write_overlapped(port->get(), name, bytes);
        });
    if (!written) fail(ErrorNumber::write_failed, name_, GetLastError());
    written_since_open_ += *written;
  }

  void drain_and_close() override {
    // A port that took none of the bytes (a write that did not complete) holds none of them to
    // wait for; what it may still hold of that write is discarded.
    const bool wrote = written_since_open_ > 0;
    const DWORD drain_error = wrote ? wait_for_drain() : ERROR_SUCCESS;
    const DWORD close_error = release(std::move(port_), !wrote || drain_error != ERROR_SUCCESS);
    turn_.end();
    if (drain_error != ERROR_SUCCESS) fail(ErrorNumber::output_not_drained, name_, drain_error);
    if (close_error != ERROR_SUCCESS) fail(ErrorNumber::write_failed, name_, close_error);
  }

 private:
  DWORD wait_for_drain() {
    const auto limit = drain_limit(written_since_open_, settings_);
    const auto deadline = Clock::now() + limit;
    const auto drained = call_within(limit + cancel_grace, port_->get(), [port = port_, deadline] {
      return wait_until_drained(port->get(), deadline);
    });
    return drained ? *drained : GetLastError();
  }

  PortTurn turn_;  // first, so that it goes last
  std::string name_;
  SharedPort port_;
  LineSettings settings_;
  std::size_t written_since_open_ = 0;
};

}  // namespace

std::unique_ptr<SerialPort> open_serial_port(int port_number, const LineSettings& settings) {
  const std::string name = "COM" + std::to_string(port_number);
  // The device namespace reaches COM10 and above, which the plain names do not.
  const std::wstring device = L"\\\\.\\COM" + std::to_wstring(port_number);
  // The turn among pelvaro's runs, then the port itself, which another program may hold: both
  // within turn_limit, then the open's own bound.
  const auto turn_deadline = Clock::now() + turn_limit;
  PortTurn turn = wait_for_turn(port_number, name, turn_deadline);
  WinHandle handle = open_when_free(device, name, settings, turn_deadline);
  return std::make_unique<WindowsSerialPort>(name, std::move(handle), settings, std::move(turn));
}

}  // namespace pelvaro
