#include "runtime/controls.h"

#include <algorithm>

#include "runtime/characters.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

void ComboBox::set_text(std::u16string_view text) {
  const auto match = std::ranges::find_if(choices_, [text](std::u16string_view choice) {
    return equal_ignoring_ascii_case(choice, text);
  });
  if (match == choices_.end()) {
    throw RuntimeError{ErrorNumber::invalid_property_value, "not one of the list's choices"};
  }
  select(static_cast<std::size_t>(match - choices_.begin()));
}

void ComboBox::select(std::size_t index) {
  if (index >= choices_.size()) {
    throw RuntimeError{ErrorNumber::invalid_property_value, "list index out of range"};
  }
  selected_ = index;
  text_ = choices_[index];
}

}  // namespace pelvaro
