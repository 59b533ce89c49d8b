#include <windows.h>

#include <string>

#include "platform/text_encoding.h"
#include "platform/win32/system_error.h"

namespace pelvaro {

std::string system_error_text(DWORD code) {
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::u16string text;
  if (length && message) text.assign(reinterpret_cast<const char16_t*>(message), length);
  LocalFree(message);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ')) {
    text.pop_back();
  }
  if (text.empty()) return "system error " + std::to_string(code);
  return to_ansi(text);
}

}  // namespace pelvaro
