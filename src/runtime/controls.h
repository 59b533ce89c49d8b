#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pelvaro {

// A drop-down list: it offers only its choices and takes no typed text. Its text is the selected
// choice, or empty while nothing is selected.
class ComboBox {
 public:
  explicit ComboBox(std::span<const std::u16string_view> choices) : choices_(choices) {}

  const std::u16string& text() const { return text_; }

  // Selects the choice that equals `text`, ignoring letter case as native list boxes do; the
  // choice's own spelling becomes the text. Any other text is refused with a RuntimeError.
  void set_text(std::u16string_view text);

  // Selects a choice by its position, as a person does by picking it from the list.
  void select(std::size_t index);

  std::optional<std::size_t> selected_index() const { return selected_; }
  std::span<const std::u16string_view> choices() const { return choices_; }

 private:
  std::span<const std::u16string_view> choices_;
  std::optional<std::size_t> selected_;
  std::u16string text_;
};

}  // namespace pelvaro
