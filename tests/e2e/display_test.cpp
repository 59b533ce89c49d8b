// The built program as it ships, on a desktop: a real X server (Xvfb), with and without a window
// manager, and with a display that is named but not there.

#include <gtest/gtest.h>  // before anything that may bring in the X headers

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "support/shipped_program.h"
#include "support/x_server.h"
#include "support/x_windows.h"

namespace {

using namespace pelvaro::testing;

class DesktopRun : public ShippedProgramTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ShippedProgramTest::SetUp();
    if (IsSkipped()) return;
    if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    server = std::make_unique<XServer>(GetParam());
  }

  std::vector<std::string> desktop() const { return {"DISPLAY=" + server->display()}; }

  std::unique_ptr<XServer> server;
};

TEST_P(DesktopRun, ShowsItsWindowSendsAndEnds) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = ports({2, 3});
  const auto result = run(lines, desktop());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
  EXPECT_EQ(lines[1].take_received(), "a");
  EXPECT_EQ(lines[0].take_received(), "");
}

TEST_P(DesktopRun, WritesNoFiles) {
  write_settings("[ayar]\ncom=3\n");
  const TemporaryDirectory home;  // where a toolkit would keep its preferences
  auto lines = ports({3});
  EXPECT_EQ(run(lines, {desktop()[0], "HOME=" + home.path().string()}).exit_status, 0);
  EXPECT_TRUE(std::filesystem::is_empty(home.path()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator{folder.path()}, {}), 3);
}

TEST_P(DesktopRun, TheErrorReportStaysUntilDismissedAndNothingIsSent) {
  const std::string report = "pelvaro: run-time error 380: Invalid property value: settings file " +
                             (folder.path() / "pelvaro.txt").string() + ": ";
  // The first round has no settings file at all.
  for (const auto& [settings, reason] :
       {std::pair{"", "not found"}, std::pair{"[ayar]\ncom=30\n",
                                              "com=\"30\" is not one of the choices KAPALI, 1, 2, "
                                              "..., 25"}}) {
    if (*settings) write_settings(settings);
    auto lines = ports({3});
    auto running = std::async(std::launch::async, [&] { return run(lines, desktop()); });

    XConnection x{server->display()};
    const XWindow box = wait_for_window(x.get(), "pelvaro", std::chrono::seconds{30});
    ASSERT_NE(box, 0u) << "no error report appeared";
    EXPECT_EQ(running.wait_for(std::chrono::milliseconds{500}), std::future_status::timeout)
        << "the report went away by itself";
    press_key_until(server->display(), box, "Return", [&] {
      return running.wait_for(std::chrono::milliseconds{500}) == std::future_status::ready;
    });
    const auto result = running.get();
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.standard_error, report + reason + "\n");
    expect_silence(lines);
  }
}

TEST_P(DesktopRun, AStandardErrorThatTakesNothingStillGetsTheBoxAfterIt) {
  write_settings("[ayar]\ncom=30\n");
  auto lines = ports({3});
  auto running = std::async(std::launch::async, [&] {
    return vcom::run_with_ports(lines, {UNUSUAL_START, "full-pipe", program().string()},
                                std::chrono::seconds{30}, desktop());
  });
  XConnection x{server->display()};
  const XWindow box = wait_for_window(x.get(), "pelvaro", std::chrono::seconds{10});
  ASSERT_NE(box, 0u) << "no error report appeared";
  press_key_until(server->display(), box, "Return", [&] {
    return running.wait_for(std::chrono::milliseconds{500}) == std::future_status::ready;
  });
  const auto result = running.get();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 2);
  expect_silence(lines);
}

TEST_P(DesktopRun, LoadsTheToolkitOnlyWhenThereIsADisplay) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = ports({3});
  // The helper's standard error is not the run's: the loader's account of each process goes to a
  // file of its own, LOADED.<pid>.
  const auto loaded = folder.path() / "loaded";
  run(lines, {desktop()[0], "LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + loaded.string()});
  std::string with_display;
  for (const auto& entry : std::filesystem::directory_iterator{folder.path()}) {
    if (!entry.path().filename().string().starts_with("loaded.")) continue;
    std::ifstream account{entry.path()};
    with_display.append(std::istreambuf_iterator<char>{account}, {});
  }
  EXPECT_NE(with_display.find("libfltk"), std::string::npos);
  const auto headless = run(lines, {"LD_DEBUG=files"});
  EXPECT_EQ(headless.exit_status, 0);
  for (const char* library : {"libfltk", "libX11", "libxcb", "libXft", "libfontconfig"}) {
    EXPECT_EQ(headless.standard_error.find(library), std::string::npos) << library;
  }
  EXPECT_EQ(lines[0].take_received(), "aa");
}

INSTANTIATE_TEST_SUITE_P(Desktop, DesktopRun, ::testing::Values(false, true), [](const auto& info) {
  return info.param ? "WithWindowManager" : "WithoutWindowManager";
});

using UnreachableDisplay = ShippedProgramTest;

TEST_F(UnreachableDisplay, StillSends) {
  write_settings("[ayar]\ncom=3\n");
  for (const char* display : {"DISPLAY=:987", "DISPLAY=nonsense", "DISPLAY=127.0.0.1:987"}) {
    auto lines = ports({3});
    const auto result = run(lines, {display});
    EXPECT_EQ(result.exit_status, 0) << display;
    EXPECT_EQ(result.standard_error, "") << display;
    EXPECT_EQ(lines[0].take_received(), "a") << display;
  }
}

TEST_F(UnreachableDisplay, AServerThatNeverAnswersIsNoReasonToWait) {
  // A socket where an X server should be, whose server has hung: connections queue, nothing
  // answers.
  std::filesystem::create_directories("/tmp/.X11-unix");
  const std::string path = "/tmp/.X11-unix/X917";
  std::filesystem::remove(path);
  const int hung = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(hung, 8), 0);

  write_settings("[ayar]\ncom=3\n");
  auto lines = ports({3});
  const auto result = run(lines, {"DISPLAY=:917"});
  ::close(hung);
  std::filesystem::remove(path);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
}

}  // namespace
