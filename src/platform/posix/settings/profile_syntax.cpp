#include "platform/posix/settings/profile_syntax.h"

#include "runtime/characters.h"

namespace pelvaro {

namespace {

// Always a view into `text`, even when nothing is left of it.
std::string_view trim_blanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return text.substr(text.size());
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string_view strip_matching_quotes(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Splits text into lines at CR LF, LF or CR, one at a time.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  std::optional<std::string_view> next() {
    if (done_) return std::nullopt;
    const std::size_t end = rest_.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      done_ = true;
      return rest_;
    }
    const std::string_view line = rest_.substr(0, end);
    const bool crlf = rest_[end] == '\r' && end + 1 < rest_.size() && rest_[end + 1] == '\n';
    rest_.remove_prefix(end + (crlf ? 2 : 1));
    return line;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

// The name in a section header "[name]", or nothing if the line is not a header.
std::optional<std::string_view> section_name(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim_blanks(line.substr(1, close - 1));
}

std::string_view without_byte_order_mark(std::string_view text) {
  if (text.starts_with(utf8_byte_order_mark)) text.remove_prefix(utf8_byte_order_mark.size());
  return text;
}

}  // namespace

bool has_profile_section(std::string_view text, std::string_view section) {
  LineReader lines{without_byte_order_mark(text)};
  while (const auto line = lines.next()) {
    const auto name = section_name(trim_blanks(*line));
    if (name && equal_ignoring_ascii_case(*name, section)) return true;
  }
  return false;
}

std::optional<std::string_view> find_profile_value(std::string_view text, std::string_view section,
                                                   std::string_view key) {
  LineReader lines{without_byte_order_mark(text)};
  bool in_section = false;
  while (const auto raw_line = lines.next()) {
    const std::string_view line = trim_blanks(*raw_line);
    if (line.empty() || line.front() == ';') continue;
    if (const auto name = section_name(line)) {
      if (in_section) return std::nullopt;  // the first section of the name has ended
      in_section = equal_ignoring_ascii_case(*name, section);
      continue;
    }
    if (!in_section) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (equal_ignoring_ascii_case(trim_blanks(line.substr(0, equals)), key)) {
      return strip_matching_quotes(trim_blanks(line.substr(equals + 1)));
    }
  }
  return std::nullopt;
}

std::string_view without_cut_line(std::string_view text) {
  const std::size_t last_break = text.find_last_of("\r\n");
  return text.substr(0, last_break == std::string_view::npos ? 0 : last_break + 1);
}

}  // namespace pelvaro
