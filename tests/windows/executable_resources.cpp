// executable-resources: reads back what a Windows executable says of itself, through the
// system's own readers, and prints one "name=value" line for each:
//   file_version, product_version, product_name (the version information's strings),
//   fixed_version (its numeric version), icon_sizes (the icons of its first icon group),
//   dpi_awareness, dpi_aware (its manifest's settings, as the activation context reads them),
//   common_controls (the comctl32.dll its manifest selects).
// Usage: executable-resources PATH. Exits 1 with a message where a reader fails.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ResourceReadError {
  std::string what;
};

std::string narrow(std::wstring_view text) {
  std::string result;
  for (wchar_t c : text) result += c < 0x80 ? static_cast<char>(c) : '?';
  return result;
}

void print(const char* name, const std::string& value) {
  std::printf("%s=%s\n", name, value.c_str());
}

std::vector<BYTE> version_information(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> data(size);
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
    throw ResourceReadError{"no version information: error " + std::to_string(GetLastError())};
  }
  return data;
}

std::string version_string(std::vector<BYTE>& data, const wchar_t* name) {
  struct Translation {
    WORD language;
    WORD code_page;
  }* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof *translation) {
    throw ResourceReadError{"version information without a translation"};
  }
  wchar_t key[128];
  std::swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
                translation->code_page, name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(data.data(), key, reinterpret_cast<void**>(&value), &length)) return {};
  return narrow({value, length > 0 ? length - 1 : 0});
}

std::string fixed_version(std::vector<BYTE>& data) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed->dwSignature != 0xFEEF04BD) {
    throw ResourceReadError{"version information without its fixed part"};
  }
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(fixed->dwFileVersionLS));
}

struct LibraryRelease {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryRelease>;

#pragma pack(push, 2)
struct IconGroupEntry {  // one icon of an icon group resource, as the resource compiler writes it
  BYTE width, height, colours, reserved;
  WORD planes, bits_per_pixel;
  DWORD bytes;
  WORD id;
};
struct IconGroup {
  WORD reserved, type, count;
  IconGroupEntry entries[1];
};
#pragma pack(pop)

// The sizes of the icons in the executable's first icon group, the one a shortcut shows:
// "16,32,256" for instance.
std::string icon_sizes(const std::wstring& path) {
  const Library image{LoadLibraryExW(path.c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)};
  if (!image) throw ResourceReadError{"cannot open the executable's resources"};
  LPWSTR first = nullptr;
  EnumResourceNamesW(
      image.get(), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */,
      [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) -> BOOL {
        *reinterpret_cast<LPWSTR*>(found) = name;
        return FALSE;
      },
      reinterpret_cast<LONG_PTR>(&first));
  HRSRC found = first ? FindResourceW(image.get(), first, MAKEINTRESOURCEW(14)) : nullptr;
  const auto* group =
      found ? static_cast<const IconGroup*>(LockResource(LoadResource(image.get(), found)))
            : nullptr;
  if (!group) return "(none)";
  std::string sizes;
  for (WORD i = 0; i < group->count; ++i) {
    const int width = group->entries[i].width == 0 ? 256 : group->entries[i].width;
    if (i > 0) sizes += ',';
    sizes += std::to_string(width);
  }
  return sizes;
}

struct ActivationContextRelease {
  void operator()(HANDLE context) const { ReleaseActCtx(context); }
};
using ActivationContext = std::unique_ptr<void, ActivationContextRelease>;

// The activation context the loader makes for the executable from its manifest.
ActivationContext manifest_context(const std::wstring& path) {
  ACTCTXW description{};
  description.cbSize = sizeof description;
  description.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  description.lpSource = path.c_str();
  description.lpResourceName = MAKEINTRESOURCEW(1);  // the process manifest's number
  HANDLE context = CreateActCtxW(&description);
  if (context == INVALID_HANDLE_VALUE) {
    throw ResourceReadError{"no usable manifest: error " + std::to_string(GetLastError())};
  }
  return ActivationContext{context};
}

std::string manifest_setting(HANDLE context, const wchar_t* name_space, const wchar_t* name) {
  wchar_t value[64]{};
  SIZE_T written = 0;
  if (!QueryActCtxSettingsW(0, context, name_space, name, value, 64, &written)) return "(none)";
  return narrow(value);
}

class Activation {
 public:
  explicit Activation(HANDLE context) {
    if (!ActivateActCtx(context, &cookie_)) throw ResourceReadError{"cannot activate the context"};
  }
  Activation(const Activation&) = delete;
  Activation& operator=(const Activation&) = delete;
  ~Activation() { DeactivateActCtx(0, cookie_); }

 private:
  ULONG_PTR cookie_ = 0;
};

// The comctl32.dll a program with this manifest gets: the loader's choice, by its file's path
// (the side-by-side assembly's folder names its version).
std::string common_controls_file(HANDLE context) {
  const Activation active{context};
  const Library library{LoadLibraryW(L"comctl32.dll")};
  if (!library) throw ResourceReadError{"comctl32.dll does not load"};
  wchar_t path[MAX_PATH]{};
  const DWORD length = GetModuleFileNameW(library.get(), path, MAX_PATH);
  return narrow({path, length});
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: executable-resources PATH\n", stderr);
    return 64;
  }
  const std::wstring path = argv[1];
  try {
    auto version = version_information(path);
    print("file_version", version_string(version, L"FileVersion"));
    print("product_version", version_string(version, L"ProductVersion"));
    print("product_name", version_string(version, L"ProductName"));
    print("fixed_version", fixed_version(version));
    print("icon_sizes", icon_sizes(path));
    const ActivationContext context = manifest_context(path);
    print("dpi_awareness",
          manifest_setting(context.get(), L"http://schemas.microsoft.com/SMI/2016/WindowsSettings",
                           L"dpiAwareness"));
    print("dpi_aware",
          manifest_setting(context.get(), L"http://schemas.microsoft.com/SMI/2005/WindowsSettings",
                           L"dpiAware"));
    print("common_controls", common_controls_file(context.get()));
  } catch (const ResourceReadError& error) {
    std::fprintf(stderr, "executable-resources: %s\n", error.what.c_str());
    return 1;
  }
  return 0;
}
