// The profile lookup of this system. Linux has no profile API, so this reads the file itself.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/profile_file.h"
#include "platform/posix/profile_syntax.h"
#include "platform/profile_api.h"
#include "platform/text_encoding.h"

namespace pelvaro {

namespace {

// A settings file is a few lines; reading stops here whatever lies at the path, which bounds the
// memory and time of a lookup.
constexpr std::size_t max_profile_bytes = 1 << 20;

constexpr std::string_view utf16le_byte_order_mark = "\xFF\xFE";

bool is_regular_file(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

struct OpenFile {
  FileDescriptor descriptor;
  std::size_t size = 0;  // when it was opened
};

// Opens only what is a regular file both before and after the open, without blocking on a FIFO
// or a device that might have taken the file's place in between.
std::optional<OpenFile> open_regular_file(const std::string& path) {
  if (!is_regular_file(path.c_str())) return std::nullopt;
  FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  // Only as much as a lookup reads: a 32-bit size_t would cut a larger size down to anything.
  const off_t size = std::clamp<off_t>(status.st_size, 0, max_profile_bytes);
  return OpenFile{std::move(file), static_cast<std::size_t>(size)};
}

struct FileStart {
  std::string content;
  bool whole = true;  // false if the file goes on beyond the content
};

bool has_more(const FileDescriptor& file) {
  char next = 0;
  for (;;) {
    const ssize_t got = ::read(file.get(), &next, 1);
    if (got < 0 && errno == EINTR) continue;
    return got > 0;
  }
}

// Reads up to `limit` bytes. The buffer starts at the size the file had when it was opened, and
// grows should the file have grown since: a settings file is tiny, and clearing a buffer much
// larger than it costs more than the whole rest of the run.
FileStart read_at_most(const OpenFile& opened, std::size_t limit) {
  const FileDescriptor& file = opened.descriptor;
  std::string content;
  std::size_t filled = 0;
  // One more than the size, so that a file that has not grown takes one read and one at its end.
  std::size_t chunk = std::max<std::size_t>(opened.size + 1, 64);
  while (filled < limit) {
    content.resize(std::min(limit, filled + chunk));
    const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of file, or an unreadable rest that counts as missing
    filled += static_cast<std::size_t>(got);
    chunk = std::min(chunk * 2, limit);
  }
  content.resize(filled);
  const bool whole = filled < limit || !has_more(file);
  return {std::move(content), whole};
}

// Notepad's "Unicode" is UTF-16 little-endian with a byte-order mark; the profile API reads those
// files too, so they are turned into this system's 8-bit text first.
std::string as_8bit_text(std::string content) {
  if (!content.starts_with(utf16le_byte_order_mark)) return content;
  std::u16string wide;
  wide.reserve(content.size() / 2);
  for (std::size_t i = utf16le_byte_order_mark.size(); i + 1 < content.size(); i += 2) {
    wide += static_cast<char16_t>(static_cast<unsigned char>(content[i]) |
                                  static_cast<unsigned char>(content[i + 1]) << 8);
  }
  return to_ansi(wide);
}

std::size_t copy_cut_to_fit(std::string_view text, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  const std::size_t count = std::min(text.size(), buffer.size() - 1);
  std::copy_n(text.begin(), count, buffer.begin());
  buffer[count] = '\0';
  return count;
}

}  // namespace

std::optional<std::string> read_profile_text(const std::string& file) {
  const std::optional<OpenFile> opened = open_regular_file(file);
  if (!opened) return std::nullopt;
  FileStart start = read_at_most(*opened, max_profile_bytes);
  std::string text = as_8bit_text(std::move(start.content));
  // The limit can fall inside a line: what is left of that line is no value ("com=12" is not
  // "com=1").
  if (!start.whole) text.resize(without_cut_line(text).size());
  return text;
}

std::size_t get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, std::span<char> buffer,
                                       const std::string& file) {
  const std::optional<std::string> text = read_profile_text(file);
  if (!text) return copy_cut_to_fit(default_value, buffer);
  const std::optional<std::string_view> value = find_profile_value(*text, section, key);
  return copy_cut_to_fit(value.value_or(default_value), buffer);
}

// This system's 8-bit text is UTF-8 with any other byte carried through (text_encoding.h), so the
// 8-bit lookup already keeps every character.
std::u16string get_private_profile_string_wide(std::u16string_view section, std::u16string_view key,
                                               std::u16string_view file, std::size_t limit) {
  // Here every character has an 8-bit (UTF-8) code, so the 8-bit lookup holds the value whole
  // already: the same lookup, cut where it cuts.
  std::vector<char> buffer(limit + 1);
  const std::size_t count =
      get_private_profile_string(to_ansi(section), to_ansi(key), "", buffer, to_ansi(file));
  return from_ansi(std::string_view{buffer.data(), count});
}

}  // namespace pelvaro
