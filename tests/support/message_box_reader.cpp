// Test support for Windows: waits for a message box with the given title, writes its text to
// standard output in UTF-8, and dismisses it with its own button, as a person would. Exits 0
// when it did, 1 when no such box appeared within the given seconds.
//
//   message_box_reader.exe TITLE SECONDS

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr int message_text_id = 0xFFFF;  // the static control that holds a message box's text
constexpr DWORD poll_ms = 50;

HWND find_message_box(const wchar_t* title) {
  HWND box = FindWindowW(L"#32770", title);
  return box && IsWindowVisible(box) ? box : nullptr;
}

std::wstring message_text(HWND box) {
  std::wstring text(4096, L'\0');
  const UINT length =
      GetDlgItemTextW(box, message_text_id, text.data(), static_cast<int>(text.size()));
  text.resize(length);
  return text;
}

void write_utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

// Presses the box's OK button until the box is gone, within the deadline.
bool dismiss(HWND box, ULONGLONG deadline) {
  while (IsWindow(box)) {
    if (GetTickCount64() >= deadline) return false;
    if (HWND ok = GetDlgItem(box, IDOK)) PostMessageW(ok, BM_CLICK, 0, 0);
    Sleep(poll_ms);
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const ULONGLONG deadline = GetTickCount64() + 1000ull * std::wcstoul(argv[2], nullptr, 10);
  while (GetTickCount64() < deadline) {
    if (HWND box = find_message_box(argv[1])) {
      write_utf8(message_text(box));
      return dismiss(box, deadline) ? 0 : 1;
    }
    Sleep(poll_ms);
  }
  return 1;
}
