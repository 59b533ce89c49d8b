#include "runtime/controls.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/runtime_error.h"
#include "support/error_number.h"

namespace pelvaro {
namespace {

constexpr std::u16string_view choices[] = {u"KAPALI", u"1", u"2", u"25"};

TEST(DropDownList, SelectsAChoiceIgnoringCaseAndRefusesAnythingElse) {
  ComboBox com{choices};
  EXPECT_EQ(com.text(), u"");
  EXPECT_FALSE(com.selected_index());

  com.set_text(u"kapali");
  EXPECT_EQ(com.text(), u"KAPALI");
  EXPECT_EQ(com.selected_index(), 0u);
  com.set_text(u"25");
  EXPECT_EQ(com.selected_index(), 3u);

  for (const std::u16string refused : {u"", u"30", u"0", u" 2", u"2.0", u"02", u"KAPALI "}) {
    EXPECT_EQ(testing::error_number_of([&] { com.set_text(refused); }),
              ErrorNumber::invalid_property_value)
        << std::string(refused.begin(), refused.end());
    EXPECT_EQ(com.text(), u"25");  // a refused text leaves the selection as it was
  }
  EXPECT_THROW(com.select(4), RuntimeError);
}

}  // namespace
}  // namespace pelvaro
