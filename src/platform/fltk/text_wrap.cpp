#include "platform/fltk/text_wrap.h"

namespace pelvaro {

namespace {

bool continues_character(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The length of the longest start of `word` (whole characters, at least one) that fits.
std::size_t fitting_start(std::string_view word, int width,
                          const std::function<int(std::string_view)>& width_of) {
  std::size_t fits = 0;
  for (std::size_t end = 1; end <= word.size(); ++end) {
    if (end < word.size() && continues_character(word[end])) continue;
    if (fits > 0 && width_of(word.substr(0, end)) > width) break;
    fits = end;
  }
  return fits;
}

void wrap_paragraph(std::string_view paragraph, int width,
                    const std::function<int(std::string_view)>& width_of,
                    std::vector<std::string>& lines) {
  std::string line;
  bool line_started = false;
  while (!paragraph.empty()) {
    const std::size_t blank = paragraph.find(' ');
    std::string_view word = paragraph.substr(0, blank);
    paragraph = blank == std::string_view::npos ? std::string_view{} : paragraph.substr(blank + 1);
    for (;;) {
      const std::string joined = line_started ? line + ' ' + std::string{word} : std::string{word};
      if (width_of(joined) <= width) {
        line = joined;
        line_started = true;
        break;
      }
      if (line_started) {
        lines.push_back(std::move(line));
        line.clear();
        line_started = false;
        continue;
      }
      const std::size_t fits = fitting_start(word, width, width_of);
      lines.emplace_back(word.substr(0, fits));
      word.remove_prefix(fits);
      if (word.empty()) break;
    }
  }
  lines.push_back(std::move(line));
}

}  // namespace

std::vector<std::string> wrap_text(std::string_view text, int width,
                                   const std::function<int(std::string_view)>& width_of) {
  std::vector<std::string> lines;
  for (;;) {
    const std::size_t end = text.find('\n');
    wrap_paragraph(text.substr(0, end), width, width_of, lines);
    if (end == std::string_view::npos) return lines;
    text.remove_prefix(end + 1);
  }
}

}  // namespace pelvaro
