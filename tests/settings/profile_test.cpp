#include "settings/profile.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/text_encoding.h"
#include "support/temporary_directory.h"

namespace pelvaro {
namespace {

using testing::TemporaryDirectory;

class ProfileLookupTest : public ::testing::Test {
 protected:
  TemporaryDirectory folder;

  // The value of com in section ayar of a settings file with the given content.
  std::u16string lookup_in(std::string_view content) {
    return lookup_at(folder.write("pelvaro.txt", content));
  }
  static std::u16string lookup_at(const std::filesystem::path& path) {
    return ReadProfileValue(u"ayar", u"com", from_ansi(path.string()));
  }
};

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
  // The cut counts 8-bit characters and never leaves half a character behind.
  std::string two_byte;
  for (int i = 0; i < 200; ++i) two_byte += "\xC4\x9F";  // U+011F
  EXPECT_EQ(lookup_in("[ayar]\ncom=" + two_byte + "\n"), std::u16string(127, u'\u011F'));
  std::string odd_cut = "x" + two_byte;
  const std::u16string cut = lookup_in("[ayar]\ncom=" + odd_cut + "\n");
  EXPECT_EQ(cut.substr(0, 127), u"x" + std::u16string(126, u'\u011F'));
  EXPECT_EQ(to_ansi(cut), odd_cut.substr(0, 254));  // the lone first byte comes back unchanged
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

TEST_F(ProfileLookupTest, FindsTheFileInAFolderWhoseNameIsNotUtf8) {
  const auto odd_folder = folder.path() / "caf\xE9";
  std::filesystem::create_directory(odd_folder);
  TemporaryDirectory::write_to(odd_folder / "pelvaro.txt", "[ayar]\ncom=13\n");
  EXPECT_EQ(lookup_at(odd_folder / "pelvaro.txt"), u"13");
}

TEST_F(ProfileLookupTest, WhateverElseLiesAtThePathGivesTheEmptyTextPromptly) {
  std::filesystem::create_directory(folder.path() / "a-directory");
  EXPECT_EQ(lookup_at(folder.path() / "a-directory"), u"");

  const auto fifo = folder.path() / "a-fifo";  // nobody writes to it: opening must not wait
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(lookup_at(fifo), u"");

  EXPECT_EQ(lookup_at("/dev/zero"), u"");  // endless, and not a file
  EXPECT_EQ(lookup_at("/dev/null"), u"");

  const auto to_zero = folder.path() / "to-zero";
  std::filesystem::create_symlink("/dev/zero", to_zero);
  EXPECT_EQ(lookup_at(to_zero), u"");
  const auto loop = folder.path() / "loop";
  std::filesystem::create_symlink(loop, loop);
  EXPECT_EQ(lookup_at(loop), u"");

  const auto socket_path = folder.path() / "a-socket";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::listen(listener, 1);
  EXPECT_EQ(lookup_at(socket_path), u"");
  ::close(listener);

  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  EXPECT_EQ(lookup_in(binary), u"");
  const std::u16string with_control_bytes{u"1\0\x01\xDCFF", 4};
  EXPECT_EQ(lookup_in(std::string("[ayar]\ncom=1\0\x01\xFF", 15) + "\n"), with_control_bytes);
}

TEST_F(ProfileLookupTest, AFileThatChangesWhileItIsReadGivesOneOfItsValues) {
  const auto path = folder.write("pelvaro.txt", "[ayar]\ncom=3\n");
  std::atomic<bool> done{false};
  std::thread writer{[&] {
    // Rewrites the file in place, truncating and growing it, as an editor saving it might.
    for (int round = 0; !done; ++round) {
      std::ofstream file{path, std::ios::binary | std::ios::trunc};
      file << "[ayar]\ncom=" << (round % 2 ? "3" : "KAPALI") << "\n"
           << std::string(static_cast<std::size_t>(round % 7) * 1000, ';') << "\n";
    }
  }};
  for (int i = 0; i < 2000; ++i) {
    const std::u16string value = lookup_at(path);
    EXPECT_TRUE(value == u"3" || value == u"KAPALI" || value.empty() ||
                std::u16string_view{u"KAPALI"}.starts_with(value))
        << std::string(value.begin(), value.end());
  }
  done = true;
  writer.join();
}

TEST_F(ProfileLookupTest, AnEnormousFileIsReadOnlyAsFarAsASettingsFileCanReach) {
  const auto path = folder.write("pelvaro.txt", "[ayar]\ncom=14\n");
  const std::string far_key = "\n[ayar]\ncom=15\n";
  {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{8} << 30), 0);  // 8 GiB, sparse
    ::close(fd);
  }
  EXPECT_EQ(lookup_at(path), u"14");

  TemporaryDirectory other;
  const auto late = other.write("pelvaro.txt", std::string(2 << 20, '\n') + far_key);
  EXPECT_EQ(lookup_at(late), u"");  // beyond the first MiB
}

}  // namespace
}  // namespace pelvaro
