#include "platform/win32/driver_call.h"

#include "platform/win32/win_handle.h"

namespace pelvaro {

namespace {

using Work = std::function<void()>;

DWORD WINAPI run_work(void* parameter) {
  const std::unique_ptr<Work> work{static_cast<Work*>(parameter)};
  (*work)();
  return 0;
}

bool ended_within(const WinHandle& thread, std::chrono::milliseconds limit) {
  return WaitForSingleObject(thread.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

}  // namespace

DWORD run_within(std::chrono::milliseconds limit, HANDLE device, Work work) {
  auto owned = std::make_unique<Work>(std::move(work));
  WinHandle thread{CreateThread(nullptr, 0, run_work, owned.get(), 0, nullptr)};
  if (!thread.valid()) return GetLastError();
  static_cast<void>(owned.release());  // the thread's now, whether it is waited for or left
  if (ended_within(thread, limit)) return ERROR_SUCCESS;
  CancelSynchronousIo(thread.get());
  if (device != nullptr && device != INVALID_HANDLE_VALUE) CancelIoEx(device, nullptr);
  return ended_within(thread, cancel_grace) ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

}  // namespace pelvaro
