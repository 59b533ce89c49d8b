// The settings lookup of this system, beyond what any profile API does: odd file names, whatever
// else can lie at the path, files that change or never end.

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
#include "support/profile_lookup.h"
#include "support/temporary_directory.h"

namespace pelvaro {
namespace {

using testing::ProfileLookupTest;
using testing::TemporaryDirectory;

TEST_F(ProfileLookupTest, TheCutCountsBytesAndNeverSplitsACharacter) {
  std::string two_byte;
  for (int i = 0; i < 200; ++i) two_byte += "\xC4\x9F";  // U+011F
  EXPECT_EQ(lookup_in("[ayar]\ncom=" + two_byte + "\n"), std::u16string(127, u'\u011F'));
  std::string odd_cut = "x" + two_byte;
  const std::u16string cut = lookup_in("[ayar]\ncom=" + odd_cut + "\n");
  EXPECT_EQ(cut.substr(0, 127), u"x" + std::u16string(126, u'\u011F'));
  EXPECT_EQ(to_ansi(cut), odd_cut.substr(0, 254));  // the lone first byte comes back unchanged
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

// The read stops at 1 MiB. A line that the limit cuts must count as absent: "com=12" cut after
// "com=1" would otherwise send on COM1.
TEST_F(ProfileLookupTest, ALineTheReadLimitCutsIsNoValue) {
  constexpr std::size_t limit = 1 << 20;
  // The settings with a comment in front, long enough for the limit to fall `kept` bytes into
  // the line that follows it.
  const auto cut_after = [&](std::string_view line, std::size_t kept) {
    const std::string head = "[ayar]\n;";
    const std::size_t padding = limit - head.size() - 1 - kept;
    return lookup_in(head + std::string(padding, 'x') + "\n" + std::string{line} + "\n;\n");
  };
  EXPECT_EQ(cut_after("com=12", 5), u"");      // a shorter port: "com=1"
  EXPECT_EQ(cut_after("com=25", 5), u"");      // "com=2"
  EXPECT_EQ(cut_after("com=3", 4), u"");       // "com="
  EXPECT_EQ(cut_after("com=KAPALI", 7), u"");  // "com=KAP"
  EXPECT_EQ(cut_after("com=12", 6), u"");      // whole, but its line end is beyond the limit
  EXPECT_EQ(cut_after("com=12", 0), u"");      // the line starts beyond the limit
  EXPECT_EQ(cut_after("com=12", 7), u"12");    // the line and its end lie within the limit
  // The same for Notepad's UTF-16, where the limit counts two bytes a character.
  std::string wide = "\xFF\xFE";
  const auto append_wide = [&](std::string_view text) {
    for (const char c : text) wide += std::string{c} + '\0';
  };
  append_wide("[ayar]\n;");
  append_wide(std::string((limit - wide.size()) / 2 - 1 - 5, 'x') + "\n");
  append_wide("com=12\n");
  EXPECT_EQ(lookup_in(wide), u"");
  // A file that ends exactly at the limit is whole: its last line counts.
  const std::string whole = "[ayar]\n;" + std::string(limit - 8 - 1 - 6, 'x') + "\ncom=12";
  ASSERT_EQ(whole.size(), limit);
  EXPECT_EQ(lookup_in(whole), u"12");
}

// A packaged program reads its settings through a link to the file a person edits: the report
// names both.
TEST_F(ProfileLookupTest, AReportOnALinkedSettingsFileNamesTheFileItLeadsTo) {
  static constexpr std::u16string_view choices[] = {u"KAPALI", u"1"};
  const auto edited = folder.write("edited.txt", "[ayar]\ncom=30\n");
  const auto link = folder.path() / "pelvaro.txt";
  std::filesystem::create_symlink("edited.txt", link);
  const auto report = [&] {
    const std::u16string path = from_ansi(link.string());
    return std::string{unusable_setting(ErrorNumber::invalid_property_value, u"ayar", u"com", path,
                                        lookup_at(link), choices)
                           .what()};
  };
  const std::string where = "Invalid property value: settings file " + link.string() +
                            " (a link to " + std::filesystem::canonical(edited).string() + "): ";
  EXPECT_EQ(report(), where + "com=\"30\" is not one of the choices KAPALI, 1");
  std::filesystem::remove(edited);  // the link leads nowhere now
  EXPECT_EQ(report(), "Invalid property value: settings file " + link.string() +
                          " (a link to edited.txt): not found");
}

}  // namespace
}  // namespace pelvaro
