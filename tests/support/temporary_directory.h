#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pelvaro::testing {

// A fresh directory under the system's temporary directory, removed with all it holds.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto candidate =
          std::filesystem::temp_directory_path() / ("pelvaro-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("no fresh temporary directory");
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }

  std::filesystem::path write(std::string_view name, std::string_view content) const {
    return write_to(path_ / name, content);
  }

  static std::filesystem::path write_to(const std::filesystem::path& file,
                                        std::string_view content) {
    std::ofstream{file, std::ios::binary} << content;
    return file;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace pelvaro::testing
