#include "settings/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/text_encoding.h"

#include "support/profile_lookup.h"

namespace pelvaro {
namespace {

using testing::ProfileLookupTest;

TEST_F(ProfileLookupTest, ReadsTheValuesThePortSelectionIsBuiltFor) {
  EXPECT_EQ(lookup_in("[ayar]\ncom=3\n"), u"3");
  EXPECT_EQ(lookup_in("[ayar]\r\ncom=KAPALI\r\n"), u"KAPALI");
  EXPECT_EQ(lookup_in("[ayar]\ncom=25"), u"25");  // no line end after the last line
}

TEST_F(ProfileLookupTest, EveryMissingPieceGivesTheEmptyText) {
  EXPECT_EQ(lookup_at(folder.path() / "absent.txt"), u"");
  EXPECT_EQ(lookup_in(""), u"");
  EXPECT_EQ(lookup_in("[other]\ncom=3\n"), u"");
  EXPECT_EQ(lookup_in("[ayar]\nport=3\n"), u"");
  EXPECT_EQ(lookup_in("[ayar]\ncom=\n"), u"");
  EXPECT_EQ(lookup_in("com=3\n[ayar]\n"), u"");  // a key before any section belongs to none
  EXPECT_EQ(lookup_in("[ayar]\ncom\n"), u"");    // no equals sign: not an entry
}

TEST_F(ProfileLookupTest, ALongValueIsCutTo254Characters) {
  const std::string value(300, 'x');
  EXPECT_EQ(lookup_in("[ayar]\ncom=" + value + "\n"), std::u16string(254, u'x'));
}

TEST_F(ProfileLookupTest, FollowsTheWindowsProfileSyntax) {
  EXPECT_EQ(lookup_in("[AYAR]\nCOM=3\n"), u"3");
  EXPECT_EQ(lookup_in("  [ ayar ]  \n\t com \t=\t 3 \t\n"), u"3");
  EXPECT_EQ(lookup_in("[ayar]\ncom=\"3\"\n"), u"3");
  EXPECT_EQ(lookup_in("[ayar]\ncom='KAPALI'\n"), u"KAPALI");
  EXPECT_EQ(lookup_in("[ayar]\ncom=\"3'\n"), u"\"3'");        // quotes that do not match stay
  EXPECT_EQ(lookup_in("[ayar]\ncom=\"\"3\"\"\n"), u"\"3\"");  // only one pair goes
  EXPECT_EQ(lookup_in("[ayar]\ncom=3\ncom=4\n"), u"3");
  EXPECT_EQ(lookup_in("[ayar]\nx=1\n[ayar]\ncom=4\n"), u"");  // only the first section counts
  EXPECT_EQ(lookup_in("[ayar]\n;com=4\ncom=5\n"), u"5");
  EXPECT_EQ(lookup_in("; settings\n[ayar]\n  ; com=4\ncom=6\n"), u"6");
  EXPECT_EQ(lookup_in("[ayar]\rcom=7\r"), u"7");
  EXPECT_EQ(lookup_in("[ayar] trailing words\ncom=8\n"), u"8");
  EXPECT_EQ(lookup_in("[ayar]\ncom=a=b\n"), u"a=b");
  EXPECT_EQ(lookup_in("[ayar\ncom=9\n"), u"");  // not a section header
  EXPECT_EQ(lookup_in("[other]\ncom=1\n[ayar]\ncom=10\n[more]\ncom=2\n"), u"10");
}

TEST_F(ProfileLookupTest, ReadsWhatWindowsEditorsSave) {
  EXPECT_EQ(lookup_in("\xEF\xBB\xBF[ayar]\r\ncom=11\r\n"), u"11");  // UTF-8 with a byte-order mark
  const std::u16string text = u"[ayar]\r\ncom=12\r\n";
  std::string utf16le = "\xFF\xFE";
  for (char16_t c : text) {
    utf16le += static_cast<char>(c & 0xFF);
    utf16le += static_cast<char>(c >> 8);
  }
  EXPECT_EQ(lookup_in(utf16le), u"12");
}

// What the report says when the value found is not one of the port choices, for each way the
// lookup can come back empty and for values it brings.
class UnusableSettingTest : public ProfileLookupTest {
 protected:
  static constexpr std::u16string_view choices[] = {u"KAPALI", u"1", u"2", u"3", u"25"};

  std::string report_for(const std::filesystem::path& file) {
    const std::u16string path = from_ansi(file.string());
    const RuntimeError error = unusable_setting(ErrorNumber::invalid_property_value, u"ayar",
                                                u"com", path, lookup_at(file), choices);
    EXPECT_EQ(error.number(), ErrorNumber::invalid_property_value);
    return error.what();
  }
  std::string report_with(std::string_view content) {
    return report_for(folder.write("pelvaro.txt", content));
  }
  std::string settings_file(const std::filesystem::path& file) const {
    return "Invalid property value: settings file " + file.string() + ": ";
  }
  std::string settings_file() const { return settings_file(folder.path() / "pelvaro.txt"); }
};

TEST_F(UnusableSettingTest, NamesTheFileAndWhatIsMissingThere) {
  const auto absent = folder.path() / "absent" / "pelvaro.txt";
  EXPECT_EQ(report_for(absent), settings_file(absent) + "not found");
  EXPECT_EQ(report_for(folder.path()), settings_file(folder.path()) + "not a regular file");
  EXPECT_EQ(report_with(""), settings_file() + "no section [ayar]");
  EXPECT_EQ(report_with("[other]\ncom=3\n"), settings_file() + "no section [ayar]");
  EXPECT_EQ(report_with("[ayar]\nport=3\n"), settings_file() + "no key com in section [ayar]");
  EXPECT_EQ(report_with("[ayar]\ncom=\n"),
            settings_file() + "com is empty: the choices are KAPALI, 1, 2, 3, 25");
}

TEST_F(UnusableSettingTest, ShowsTheValueFoundEscapedAndCut) {
  EXPECT_EQ(report_with("[ayar]\ncom=30\n"),
            settings_file() + "com=\"30\" is not one of the choices KAPALI, 1, 2, 3, 25");
  EXPECT_EQ(report_with("[ayar]\ncom=\"3\" x\\y\tz\x01\n"),
            settings_file() +
                "com=\"\\\"3\\\" x\\\\y\\tz\\x01\" is not one of the choices KAPALI, 1, 2, 3, 25");
  EXPECT_EQ(report_with("[ayar]\ncom=" + std::string(300, 'x') + "\n"),
            settings_file() + "com=\"" + std::string(40, 'x') +
                "\" (cut short) is not one of the choices KAPALI, 1, 2, 3, 25");
}

TEST(UnusableSetting, ListsManyChoicesByTheirFirstAndLast) {
  static constexpr std::u16string_view six[] = {u"KAPALI", u"1", u"2", u"3", u"4", u"5"};
  const RuntimeError error =
      unusable_setting(ErrorNumber::invalid_property_value, u"ayar", u"com", u"p", u"9", six);
  EXPECT_EQ(std::string{error.what()},
            "Invalid property value: settings file p: com=\"9\" is not one of the choices "
            "KAPALI, 1, 2, ..., 5");
}

TEST(SettingsPath, AddsTheSeparatorEvenAfterARootDirectory) {
  EXPECT_EQ(settings_path(u"/opt/pelvaro", u'/'), u"/opt/pelvaro/pelvaro.txt");
  EXPECT_EQ(settings_path(u"/", u'/'), u"//pelvaro.txt");
  EXPECT_EQ(settings_path(u"C:\\", u'\\'), u"C:\\\\pelvaro.txt");
}

}  // namespace
}  // namespace pelvaro
