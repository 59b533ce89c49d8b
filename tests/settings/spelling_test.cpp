#include "settings/spelling.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text_encoding.h"
#include "support/profile_lookup.h"
#include "support/turkish_settings.h"

namespace pelvaro {
namespace {

using testing::editor_encodings;
using testing::kapali_spellings;
using testing::ProfileLookupTest;

std::string shown(std::u16string_view text) {
  return to_ansi(text);
}

TEST_F(ProfileLookupTest, KapaliIsKapaliInEachSpellingAndEachEncodingAFileIsSavedIn) {
  for (const auto spelling : kapali_spellings) {
    for (const auto encoding : editor_encodings) {
      const std::u16string value = lookup_in(testing::settings_saved_as(spelling, encoding));
      EXPECT_TRUE(spells_choice(value, u"KAPALI"))
          << shown(spelling) << " saved as " << name_of(encoding) << " read as " << shown(value);
    }
  }
}

TEST(ChoiceSpelling, TurkishTextReadInAnotherEncodingStillSpellsKapali) {
  EXPECT_TRUE(spells_choice(from_ansi("Kapal\xC4\xB1"), u"KAPALI"));  // UTF-8, whatever reads it
  EXPECT_TRUE(spells_choice(from_ansi("kapal\xFD"), u"KAPALI"));      // windows-1254 ı
  EXPECT_TRUE(spells_choice(from_ansi("KAPAL\xDD"), u"KAPALI"));      // windows-1254 İ
}

// Lowercasing KAPALİ outside a Turkish locale gives an i with a combining dot above, and İ
// decomposed is I with that dot: in a Unicode file, or UTF-8 read as 8-bit text.
TEST(ChoiceSpelling, AnIWithTheCombiningDotAboveIsTheDottedI) {
  for (const std::u16string_view dotted : {u"kapali\u0307", u"KAPALI\u0307", u"Kapali\u0307"}) {
    EXPECT_TRUE(spells_choice(dotted, u"KAPALI")) << shown(dotted);
  }
  EXPECT_TRUE(spells_choice(from_ansi("kapali\xCC\x87"), u"KAPALI"));
  for (const std::u16string_view typo : {u"KAPAL\u0307", u"KAPALI\u0307\u0307", u"K\u0307APALI",
                                         u"KAPA\u0307LI", u"KAPAL\u0131\u0307", u"KAPALI\u0307I"}) {
    EXPECT_FALSE(spells_choice(typo, u"KAPALI")) << shown(typo);
  }
  EXPECT_FALSE(spells_choice(from_ansi("kapal\xCC\x87"), u"KAPALI"));
  EXPECT_FALSE(spells_choice(from_ansi("kapali\xCC"), u"KAPALI"));
}

TEST(ChoiceSpelling, ARealTypoSpellsNothing) {
  for (const std::u16string_view typo :
       {u"", u"KAPAL", u"KAPALII", u"KAPALY", u"KAPAL\u0131\u0131", u" KAPALI", u"KAPALI ",
        u"KAPAL1", u"K\u0131PALI", u"kapal\u00ED", u"KAPAL\u0130X", u"1"}) {
    EXPECT_FALSE(spells_choice(typo, u"KAPALI")) << shown(typo);
  }
  for (const char* bytes : {"kapal\xFE", "kapal\xC4", "kapal\xC4\xB2", "kapa\xFD\xFD"}) {
    EXPECT_FALSE(spells_choice(from_ansi(bytes), u"KAPALI")) << bytes;
  }
}

TEST(ChoiceSpelling, OnlyTheLetterIHasTurkishForms) {
  EXPECT_TRUE(spells_choice(u"t\u0131r", u"TIR"));
  EXPECT_FALSE(spells_choice(u"\u0131AY", u"KAY"));
  EXPECT_FALSE(spells_choice(from_ansi("\xFD"
                                       "AY"),
                             u"KAY"));
  EXPECT_TRUE(spells_choice(u"25", u"25"));
}

}  // namespace
}  // namespace pelvaro
