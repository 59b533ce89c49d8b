#include <windows.h>

#include <algorithm>
#include <chrono>
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

class WindowsSerialPort final : public SerialPort {
 public:
  WindowsSerialPort(std::string name, WinHandle handle, const LineSettings& settings)
      : name_(std::move(name)), handle_(std::move(handle)), settings_(settings) {}

  ~WindowsSerialPort() override {
    if (handle_.valid()) PurgeComm(handle_.get(), PURGE_TXCLEAR | PURGE_TXABORT);
  }

  void write(std::span<const std::byte> bytes) override {
    DWORD written = 0;
    if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
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
  // Waits until the driver's output queue is empty, against a deadline, as a plain flush can
  // wait forever on a stuck line; the flush after it only waits for the UART itself.
  DWORD wait_until_drained() {
    const auto deadline = Clock::now() + drain_limit(written_since_open_, settings_);
    for (;;) {
      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(handle_.get(), &errors, &status)) return GetLastError();
      if (status.cbOutQue == 0) break;
      if (Clock::now() >= deadline) return ERROR_TIMEOUT;
      std::this_thread::sleep_for(
          std::min(milliseconds{1}, time_on_line(status.cbOutQue, settings_)));
    }
    return FlushFileBuffers(handle_.get()) ? ERROR_SUCCESS : GetLastError();
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
                               OPEN_EXISTING, 0, nullptr)};
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
