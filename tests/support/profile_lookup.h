#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/text_encoding.h"
#include "settings/profile.h"
#include "support/temporary_directory.h"

namespace pelvaro::testing {

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

}  // namespace pelvaro::testing
