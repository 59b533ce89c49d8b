#include "platform/posix/settings/profile_syntax.h"

#include <gtest/gtest.h>

#include <string>

namespace pelvaro {
namespace {

// A value is a view into the text searched, also when it is blank: the caller copies from it.
TEST(ProfileSyntax, AValueIsAlwaysAViewIntoTheText) {
  for (const std::string text : {"[ayar]\ncom=\n", "[ayar]\ncom=  \t\n", "[ayar]\ncom= x \n"}) {
    const auto value = find_profile_value(text, "ayar", "com");
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_GE(value->data(), text.data()) << text;
    EXPECT_LE(value->data() + value->size(), text.data() + text.size()) << text;
  }
}

}  // namespace
}  // namespace pelvaro
