// The window on the Windows desktop, with the system's own controls.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <span>
#include <string>
#include <utility>

#include "platform/display.h"
#include "platform/text_encoding.h"
#include "platform/win32/resources.h"
#include "runtime/deadline.h"

namespace pelvaro {

namespace {

constexpr wchar_t window_class[] = L"pelvaro.Form";
constexpr UINT_PTR activation_timer = 1;
constexpr int first_control_id = 100;
constexpr int dropped_list_height = 200;  // pixels below a drop-down list for its open list
constexpr int list_text_margins = 4;      // pixels around the text of a drop-down list's choice
constexpr int smallest_list_font = 7;     // pixels; the list's font is made no smaller

std::wstring wide(std::u16string_view text) {
  return {reinterpret_cast<const wchar_t*>(text.data()), text.size()};
}

int screen_dots_per_inch() {
  HDC screen = GetDC(nullptr);
  const int dots = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dots > 0 ? dots : 96;
}

// Whether this process's window station is one a person sees: not so under a service, or a
// scheduled task that runs whether the user is logged on or not. When the system cannot tell, it
// is taken as unseen: a box that nobody sees would wait for ever.
bool window_station_visible() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Owns a font and deletes it when it goes.
class FontHandle {
 public:
  explicit FontHandle(HFONT font = nullptr) : font_(font) {}
  FontHandle(FontHandle&& other) noexcept : font_(std::exchange(other.font_, nullptr)) {}
  FontHandle& operator=(FontHandle&& other) noexcept {
    std::swap(font_, other.font_);
    return *this;
  }
  FontHandle(const FontHandle&) = delete;
  FontHandle& operator=(const FontHandle&) = delete;
  ~FontHandle() {
    if (font_) DeleteObject(font_);
  }

  HFONT get() const { return font_; }

 private:
  HFONT font_;
};

// The width of the widest of `texts` in `font`, in pixels.
int widest_text(HFONT font, std::span<const std::u16string_view> texts) {
  HDC screen = GetDC(nullptr);
  if (!screen) return 0;
  const HGDIOBJ previous = SelectObject(screen, font);
  int widest = 0;
  for (std::u16string_view text : texts) {
    SIZE size{};
    if (GetTextExtentPoint32W(screen, wide(text).c_str(), static_cast<int>(text.size()), &size)) {
      widest = std::max(widest, static_cast<int>(size.cx));
    }
  }
  SelectObject(screen, previous);
  ReleaseDC(nullptr, screen);
  return widest;
}

// The system's dialog font, made smaller where the widest choice would not show whole beside the
// list's button ("KAPALI" in the list's 57 pixels): the face differs between systems, Tahoma on
// Windows, whatever stands in for it under Wine.
FontHandle font_fitting_list(std::span<const std::u16string_view> choices, int list_width) {
  LOGFONTW face{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof face, &face);
  const int room = list_width - GetSystemMetrics(SM_CXVSCROLL) - 2 * GetSystemMetrics(SM_CXEDGE) -
                   list_text_margins;
  for (;;) {
    FontHandle font{CreateFontIndirectW(&face)};
    if (!font.get() || std::abs(face.lfHeight) <= smallest_list_font ||
        widest_text(font.get(), choices) <= room) {
      return font;
    }
    face.lfHeight += face.lfHeight < 0 ? 1 : -1;  // one pixel smaller
  }
}

class Win32Display final : public Display {
 public:
  explicit Win32Display(std::chrono::steady_clock::time_point deadline)
      : instance_(GetModuleHandleW(nullptr)),
        deadline_(deadline),
        visible_(window_station_visible()) {
    WNDCLASSEXW description{};
    description.cbSize = sizeof description;
    description.lpfnWndProc = window_procedure;
    description.hInstance = instance_;
    description.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    description.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(PELVARO_ICON));
    description.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    description.lpszClassName = window_class;
    RegisterClassExW(&description);
  }
  Win32Display(const Win32Display&) = delete;
  Win32Display& operator=(const Win32Display&) = delete;
  ~Win32Display() override {
    if (window_) DestroyWindow(window_);
    UnregisterClassW(window_class, instance_);
  }

  void show(Form& form) override {
    form_ = &form;
    if (!visible_) {
      activate_once();  // nobody could see the window: the run goes on without one
      return;
    }
    const WindowDescription& description = form.description();
    const int dots = screen_dots_per_inch();
    RECT frame{0, 0, twips_to_pixels(description.client_width, dots),
               twips_to_pixels(description.client_height, dots)};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    window_ =
        CreateWindowExW(0, window_class, wide(description.caption).c_str(), WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                        frame.bottom - frame.top, nullptr, nullptr, instance_, this);
    if (!window_) {
      activate_once();  // nowhere to show it: the run goes on without a window
      return;
    }
    for (std::size_t i = 0; i < description.controls.size(); ++i) {
      create_control(description.controls[i], static_cast<int>(i), dots);
    }
    // A window that is not active by the deadline counts as active then.
    SetTimer(window_, activation_timer, static_cast<UINT>(milliseconds_left(deadline_)), nullptr);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    SetForegroundWindow(window_);
  }

  FormEvent next_event() override {
    while (events_.empty()) {
      MSG message{};
      if (!window_ || GetMessageW(&message, nullptr, 0, 0) <= 0) return {FormEventKind::closed, {}};
      if (!IsDialogMessageW(window_, &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    const FormEvent event = events_.front();
    events_.pop_front();
    return event;
  }

  void report_unhandled_error(const RuntimeError& error) override {
    print_unhandled_error(error);
    if (!visible_) return;  // a box that nobody sees would wait for ever: the line is the report
    const std::wstring text = wide(from_ansi(unhandled_error_line(error)));
    MessageBoxW(window_, text.c_str(), L"pelvaro", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  }

 private:
  static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
      const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(l);
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Display*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && self->handle(window, message, w, l)) return 0;
    return DefWindowProcW(window, message, w, l);
  }

  // Returns true for a message it has dealt with in full.
  bool handle(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
      case WM_ACTIVATE:
        if (LOWORD(w) != WA_INACTIVE) activate_once();
        return false;
      case WM_TIMER:
        if (w != activation_timer) return false;
        activate_once();
        return true;
      case WM_COMMAND:
        on_command(LOWORD(w), HIWORD(w), reinterpret_cast<HWND>(l));
        return true;
      case WM_CLOSE:
        DestroyWindow(window);
        return true;
      case WM_DESTROY:
        window_ = nullptr;
        events_.push_back({FormEventKind::closed, {}});
        return true;
      default:
        return false;
    }
  }

  void on_command(int id, int notification, HWND control_window) {
    const auto& controls = form_->description().controls;
    const int index = id - first_control_id;
    if (index < 0 || index >= static_cast<int>(controls.size())) return;
    if (notification == BN_CLICKED) {
      if (const auto event = button_clicked(*form_, static_cast<std::size_t>(index))) {
        events_.push_back(*event);
      }
    } else if (controls[index].kind == ControlKind::drop_down_list &&
               notification == CBN_SELCHANGE) {
      const LRESULT picked = SendMessageW(control_window, CB_GETCURSEL, 0, 0);
      if (picked >= 0) choice_picked(*form_, static_cast<std::size_t>(picked));
    }
  }

  void create_control(const ControlDescription& control, int index, int dots) {
    const auto px = [dots](int twips) { return twips_to_pixels(twips, dots); };
    HWND created = nullptr;
    const auto id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(first_control_id + index));
    switch (control.kind) {
      case ControlKind::command_button:
        created = CreateWindowExW(0, L"BUTTON", wide(control.caption).c_str(),
                                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                                  px(control.left), px(control.top), px(control.width),
                                  px(control.height), window_, id, instance_, nullptr);
        break;
      case ControlKind::drop_down_list:
        created = CreateWindowExW(
            0, L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
            px(control.left), px(control.top), px(control.width),
            px(control.height) + dropped_list_height, window_, id, instance_, nullptr);
        fill_list(created);
        list_font_ = font_fitting_list(form_->description().list_choices, px(control.width));
        break;
      case ControlKind::serial_port:
        return;  // invisible at run time
    }
    if (created) {
      const bool list = control.kind == ControlKind::drop_down_list && list_font_.get();
      const HGDIOBJ font = list ? list_font_.get() : GetStockObject(DEFAULT_GUI_FONT);
      SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
  }

  void fill_list(HWND list) {
    if (!list) return;
    for (std::u16string_view choice : form_->description().list_choices) {
      SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(choice).c_str()));
    }
    const auto selected = form_->drop_down_list().selected_index();
    SendMessageW(list, CB_SETCURSEL, selected ? static_cast<WPARAM>(*selected) : -1, 0);
  }

  void activate_once() {
    if (activated_) return;
    activated_ = true;
    if (window_) KillTimer(window_, activation_timer);
    events_.push_back({FormEventKind::activated, {}});
  }

  HINSTANCE instance_;
  std::chrono::steady_clock::time_point deadline_;
  bool visible_;
  FontHandle list_font_;  // outlives the window, whose list uses it
  HWND window_ = nullptr;
  Form* form_ = nullptr;
  std::deque<FormEvent> events_;
  bool activated_ = false;
};

}  // namespace

std::unique_ptr<Display> open_display(std::chrono::steady_clock::time_point run_start) {
  return std::make_unique<Win32Display>(run_start + desktop_deadline);
}

}  // namespace pelvaro
