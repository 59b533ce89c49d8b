#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace pelvaro {
namespace {

TEST(TextEncoding, ConvertsUtf8BothWays) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"pelvaro.txt", u"pelvaro.txt"},
      {"KAPALI", u"KAPALI"},
      {"/home/\xC5\x9F\x65rif/masa\xC3\xBC", u"/home/\u015Ferif/masa\u00FC"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x94\x8C", u"\U0001F50C"},  // outside the basic plane: a surrogate pair
  };
  for (const auto& [narrow, wide] : cases) {
    EXPECT_EQ(from_ansi(narrow), wide) << narrow;
    EXPECT_EQ(to_ansi(wide), narrow) << narrow;
  }
}

TEST(TextEncoding, AnyBytesSurviveTheRoundTrip) {
  const std::string odd_bytes[] = {
      "caf\xE9",           // Latin-1
      "\xFF\xFE",          // a UTF-16 byte-order mark
      "\xC0\xAF",          // an overlong slash
      "\xED\xA0\x80",      // an encoded surrogate
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xE2\x82",          // a sequence cut short
      "\x80"
      "abc\xC3",  // stray continuation and lead bytes around ASCII
  };
  for (const std::string& bytes : odd_bytes) {
    const std::u16string wide = from_ansi(bytes);
    EXPECT_EQ(to_ansi(wide), bytes);
    for (char16_t c : wide) EXPECT_NE(c, u'\0');
  }
  EXPECT_EQ(from_ansi("caf\xE9"), u"caf\xDCE9");
}

TEST(TextEncoding, ALoneSurrogateHasNoEightBitForm) {
  EXPECT_EQ(to_ansi(u"a\xD800"
                    u"b"),
            "a?b");
  EXPECT_EQ(to_ansi(std::u16string{u'\xDFFF'}), "?");
}

}  // namespace
}  // namespace pelvaro
