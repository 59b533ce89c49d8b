#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/serial_port.h"
#include "platform/win32/system_error.h"
#include "platform/win32/win_handle.h"
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
// lines ignored, and DTR and RTS raised as an open port has them.
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
  line.fDtrControl = DTR_CONTROL_ENABLE;
  line.fRtsControl = RTS_CONTROL_ENABLE;
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

DWORD milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return static_cast<DWORD>(std::max<milliseconds::rep>(left.count(), 0));
}

// One overlapped write: the OVERLAPPED and its event, which the driver uses until the write has
// completed or been cancelled.
struct OverlappedWrite {
  OVERLAPPED overlapped{};
  WinHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

  OverlappedWrite() { overlapped.hEvent = done.get(); }
};

// Every call that waits on the driver for the line is overlapped and waited for against a
// deadline: a plain write or FlushFileBuffers waits as long as the driver does. FlushFileBuffers
// is not called at all: on a serial port it only waits for the writes before it to complete,
// which the write's own completion and the empty output queue show, within a bound.
class WindowsSerialPort final : public SerialPort {
 public:
  WindowsSerialPort(std::string name, WinHandle handle, const LineSettings& settings)
      : name_(std::move(name)), handle_(std::move(handle)), settings_(settings) {}

  ~WindowsSerialPort() override {
    if (handle_.valid()) PurgeComm(handle_.get(), PURGE_TXCLEAR | PURGE_TXABORT);
  }

  void write(std::span<const std::byte> bytes) override {
    auto write = std::make_unique<OverlappedWrite>();
    if (!write->done.valid()) fail(ErrorNumber::write_failed, name_, GetLastError());
    const auto deadline = Clock::now() + write_timeout;
    if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr,
                   &write->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      fail(ErrorNumber::write_failed, name_, GetLastError());
    }
    if (WaitForSingleObject(write->done.get(), milliseconds_until(deadline)) != WAIT_OBJECT_0) {
      give_up(std::move(write));
      fail(ErrorNumber::write_failed, name_, ERROR_TIMEOUT);
    }
    DWORD written = 0;
    if (!GetOverlappedResult(handle_.get(), &write->overlapped, &written, FALSE)) {
      fail(ErrorNumber::write_failed, name_, GetLastError());
    }
    if (written != bytes.size()) fail(ErrorNumber::write_failed, name_, ERROR_TIMEOUT);
    written_since_open_ += written;
  }

  void drain_and_close() override {
    const DWORD drain_error = wait_until_drained();
    if (drain_error != ERROR_SUCCESS) PurgeComm(handle_.get(), PURGE_TXCLEAR | PURGE_TXABORT);
    const bool closed = handle_.reset();
    const DWORD close_error = GetLastError();
    if (drain_error != ERROR_SUCCESS) fail(ErrorNumber::output_not_drained, name_, drain_error);
    if (!closed) fail(ErrorNumber::write_failed, name_, close_error);
  }

 private:
  // Cancels a write that did not complete in time and waits a bounded time for the driver to
  // let go of it. A driver that does not may still write into the OVERLAPPED later, so it is
  // then left allocated for the rest of the process rather than freed under the driver.
  void give_up(std::unique_ptr<OverlappedWrite> write) {
    CancelIoEx(handle_.get(), &write->overlapped);
    PurgeComm(handle_.get(), PURGE_TXCLEAR | PURGE_TXABORT);
    const DWORD limit = static_cast<DWORD>(release_limit.count());
    if (WaitForSingleObject(write->done.get(), limit) != WAIT_OBJECT_0) {
      static_cast<void>(write.release());
    }
  }

  // Waits until the driver's output queue is empty, against a deadline.
  DWORD wait_until_drained() {
    const auto deadline = Clock::now() + drain_limit(written_since_open_, settings_);
    for (;;) {
      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(handle_.get(), &errors, &status)) return GetLastError();
      if (status.cbOutQue == 0) return ERROR_SUCCESS;
      if (Clock::now() >= deadline) return ERROR_TIMEOUT;
      std::this_thread::sleep_for(drain_poll_interval);
    }
  }

  std::string name_;
  WinHandle handle_;
  LineSettings settings_;
  std::size_t written_since_open_ = 0;
};

}  // namespace

std::unique_ptr<SerialPort> open_serial_port(int port_number, const LineSettings& settings) {
  const std::string name = "COM" + std::to_string(port_number);
  // The device namespace reaches COM10 and above, which the plain names do not.
  const std::wstring device = L"\\\\.\\COM" + std::to_wstring(port_number);
  // No sharing: the system's own exclusive open refuses a port that another program holds.
  WinHandle handle{CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)};
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      throw RuntimeError{ErrorNumber::port_in_use, name};
    }
    fail(ErrorNumber::device_unavailable, name, error);
  }
  if (GetFileType(handle.get()) != FILE_TYPE_CHAR) {
    throw RuntimeError{ErrorNumber::not_a_serial_port, name};
  }
  apply_line_settings(handle.get(), name, settings);
  return std::make_unique<WindowsSerialPort>(name, std::move(handle), settings);
}

}  // namespace pelvaro
