// The built program started in ways a shell does not (through the dynamic loader, from a
// descriptor, deleted, from memory) and with a standard error that stalls or refuses its report.

#include <elf.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/hang_bound.h"
#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pelvaro::testing::ended_within;
using pelvaro::testing::hang_bound;

// The error report's line may take 1 s, and the start. A run that is still going at the hang
// bound has waited on its standard error.
constexpr auto report_bound = 3s;

// The dynamic loader named in an executable's program headers.
std::string interpreter_of(const fs::path& program) {
  std::ifstream file{program, std::ios::binary};
  Elf64_Ehdr header{};
  file.read(reinterpret_cast<char*>(&header), sizeof header);
  for (int index = 0; file && index < header.e_phnum; ++index) {
    Elf64_Phdr segment{};
    file.seekg(static_cast<std::streamoff>(header.e_phoff + index * header.e_phentsize));
    file.read(reinterpret_cast<char*>(&segment), sizeof segment);
    if (segment.p_type != PT_INTERP) continue;
    std::string path(segment.p_filesz, '\0');
    file.seekg(static_cast<std::streamoff>(segment.p_offset));
    file.read(path.data(), static_cast<std::streamsize>(path.size()));
    return path.substr(0, path.find('\0'));
  }
  return {};
}

class UnusualStart : public pelvaro::testing::ShippedProgramTest {
 protected:
  vcom::ProcessResult start(std::vector<vcom::VirtualPort>& lines, const std::string& route,
                            const fs::path& program) {
    auto result = vcom::run_with_ports(lines, {UNUSUAL_START, route, program.string()}, 20s);
    EXPECT_FALSE(result.timed_out) << route;
    return result;
  }

  // With a settings error nothing opens a port, so the system's own /dev (its pseudo-terminals
  // among them) can stay.
  vcom::ProcessResult start_reporting(const std::string& route,
                                      const std::vector<std::string>& extra) {
    std::vector<std::string> argv{UNUSUAL_START, route, program().string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto result = vcom::run_process(argv, hang_bound(report_bound));
    EXPECT_TRUE(ended_within(result.elapsed, report_bound)) << "still waiting on standard error";
    return result;
  }

  // A copy of the program alone in a folder of its own inside the test's folder.
  fs::path lone_copy() const {
    const fs::path lone = folder.path() / "lone";
    fs::create_directory(lone);
    fs::copy_file(program(), lone / "pelvaro");
    return lone / "pelvaro";
  }
};

TEST_F(UnusualStart, ReadsTheSettingsBesideTheFileItRunsFrom) {
  write_settings("[ayar]\ncom=2\n");
  const std::string loader = interpreter_of(program());
  ASSERT_FALSE(loader.empty());
  const struct {
    std::string name;
    std::vector<std::string> argv;
  } routes[] = {
      // /proc/self/exe is the loader then, whose folder holds no pelvaro.txt.
      {"the dynamic loader", {loader, program().string()}},
      {"a descriptor", {UNUSUAL_START, "descriptor", program().string()}},
      // Replaced by an upgrade while it runs, say: the folder is still the program's.
      {"a deleted file", {UNUSUAL_START, "deleted", program().string()}},
      // The name it was started by leads to a descriptor that is gone; what took its number
      // (/dev/null, as standard input) is not the program.
      {"a link to a descriptor",
       {UNUSUAL_START, "descriptor-link", program().string(),
        (folder.path() / "through-descriptor").string()}},
#ifndef PELVARO_SANITIZED  // the sanitizers' own runtime needs /proc
      // A chroot or container without /proc: the name it was started by tells.
      {"no /proc", {UNUSUAL_START, "without-proc", program().string()}},
#endif
  };
  for (const auto& route : routes) {
    SCOPED_TRACE(route.name);
    if (!fs::exists(program())) fs::copy_file(PELVARO_EXECUTABLE, program());
    auto lines = ports({1, 2});
    const auto result = vcom::run_with_ports(lines, route.argv, 20s);
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    EXPECT_EQ(result.standard_error, "");
    EXPECT_EQ(lines[0].take_received(), "");
    EXPECT_EQ(lines[1].take_received(), "a");
  }
}

// The starter's descriptor of the program's folder, spelled so that the name does not begin with
// /proc/: by the time the program looks, the starter has pointed that descriptor at another
// folder, holding a program and settings of its own.
TEST_F(UnusualStart, AStartNameThroughTheStartersDescriptorLeadsToNoOtherFolder) {
  write_settings("[ayar]\ncom=2\n");
  const fs::path other = folder.path() / "other";
  fs::create_directory(other);
  fs::copy_file(program(), other / "pelvaro");
  std::ofstream{other / "pelvaro.txt"} << "[ayar]\ncom=1\n";
  const fs::path link_to_proc = folder.path() / "proc-link";
  fs::create_directory_symlink("/proc", link_to_proc);
  for (const std::string& proc : {std::string{"/./proc"}, std::string{"//proc"},
                                  std::string{"/tmp/../proc"}, link_to_proc.string()}) {
    SCOPED_TRACE(proc);
    auto lines = ports({1, 2});
    const auto result = vcom::run_with_ports(
        lines, {UNUSUAL_START, "starters-descriptor", program().string(), other.string(), proc},
        20s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    EXPECT_EQ(lines[0].take_received(), "");
    EXPECT_EQ(lines[1].take_received(), "a");
  }
}

TEST_F(UnusualStart, AProgramInNoFolderSaysSoInsteadOfReadingAnotherOne) {
  write_settings("[ayar]\ncom=2\n");
  const std::string report = "pelvaro: run-time error 75: Path/File access error: ";
  auto lines = ports({1, 2});
  // From memory, the kernel names the file /memfd:pelvaro, as if it lay in /.
  const auto from_memory = start(lines, "memory", program());
  EXPECT_EQ(from_memory.exit_status, 2);
  EXPECT_EQ(from_memory.standard_error,
            report + "the running program is a copy in memory (/memfd:pelvaro), in no folder\n");

  const fs::path copy = lone_copy();
  const auto folder_gone = start(lines, "deleted-folder", copy);
  EXPECT_EQ(folder_gone.exit_status, 2);
  EXPECT_EQ(folder_gone.standard_error, report +
                                            "the running program was deleted, and its folder " +
                                            copy.parent_path().string() + " is gone\n");
  expect_silence(lines);
}

TEST_F(UnusualStart, TheErrorReportEndsWhateverStandardErrorDoes) {
  write_settings("[ayar]\ncom=30\n");
  const fs::path file = folder.path() / "errors.log";
  const struct {
    std::string route;
    std::vector<std::string> extra;
  } streams[] = {
      {"full-pipe", {}},                   // blocked in write for ever before
      {"stopped-terminal", {}},            // the same
      {"file-at-limit", {file.string()}},  // ended by SIGXFSZ (153) before
      {"closed", {}},
      {"background-terminal", {}},  // stopped by SIGTTOU before, the terminal having TOSTOP
  };
  for (const auto& stream : streams) {
    SCOPED_TRACE(stream.route);
    const auto result = start_reporting(stream.route, stream.extra);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.standard_output + result.standard_error, "");
  }
  std::ifstream log{file};
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>{log}, {}), "earlier output\n");
}

// A report longer than a page, from a folder whose path is nearly as long as a path may be, to a
// stream with room for one page only, with no signal to be queued for a timer: the write takes
// the page and would wait for the rest for ever.
TEST_F(UnusualStart, AReportLongerThanTheRoomInItsStreamEndsWithoutAQueuedSignal) {
  constexpr std::size_t folder_length = 4000;  // its settings file's path stays within PATH_MAX
  fs::path deep = folder.path();
  while (deep.string().size() + 200 < folder_length) deep /= std::string(200, 'd');
  deep /= std::string(folder_length - deep.string().size() - 1, 'e');
  ASSERT_TRUE(fs::create_directories(deep));
  fs::copy_file(program(), deep / "pelvaro");
  std::ofstream{deep / "pelvaro.txt"} << "[ayar]\ncom=30\n";
  const auto result = vcom::run_process(
      {UNUSUAL_START, "one-page-pipe", (deep / "pelvaro").string()}, hang_bound(report_bound));
  EXPECT_TRUE(ended_within(result.elapsed, report_bound)) << "still waiting on standard error";
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
}

}  // namespace
