#include "platform/win32/port_turn.h"

#include <sddl.h>

#include <memory>

#include "runtime/deadline.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

using Clock = std::chrono::steady_clock;

// What a run needs of the mutex: to wait for it and to give it back.
constexpr DWORD turn_access = SYNCHRONIZE | MUTEX_MODIFY_STATE;

struct LocalMemoryRelease {
  void operator()(void* memory) const { LocalFree(memory); }
};
using OwnedSecurityDescriptor = std::unique_ptr<void, LocalMemoryRelease>;

// Every user may wait for and give back the turn, so that the runs of different users (a
// service's and a desktop's) take turns too; nobody else gets more than that.
OwnedSecurityDescriptor turn_security() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;;0x00100001;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  return OwnedSecurityDescriptor{descriptor};
}

WinHandle turn_mutex(int port_number) {
  const auto descriptor = turn_security();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  const std::wstring name = port_turn_name(port_number);
  return WinHandle{
      CreateMutexExW(descriptor ? &attributes : nullptr, name.c_str(), 0, turn_access)};
}

}  // namespace

PortTurn& PortTurn::operator=(PortTurn&& other) noexcept {
  if (this != &other) {
    end();
    mutex_ = std::move(other.mutex_);
  }
  return *this;
}

void PortTurn::end() {
  if (!mutex_.valid()) return;
  ReleaseMutex(mutex_.get());
  mutex_.reset();
}

std::wstring port_turn_name(int port_number) {
  return L"Global\\pelvaro-COM" + std::to_wstring(port_number);
}

PortTurn wait_for_turn(int port_number, const std::string& port, Clock::time_point deadline) {
  WinHandle mutex = turn_mutex(port_number);
  if (!mutex.valid()) return PortTurn{};
  switch (WaitForSingleObject(mutex.get(), static_cast<DWORD>(milliseconds_left(deadline)))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // a run that ended holding it: the port it held is closed with it
      return PortTurn{std::move(mutex)};
    case WAIT_TIMEOUT:
      throw RuntimeError{ErrorNumber::port_in_use, port};
    default:  // the wait itself failed: go on without the turn, as without the mutex
      return PortTurn{};
  }
}

}  // namespace pelvaro
