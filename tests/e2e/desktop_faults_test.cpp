// The built program as it ships, on desktops that misbehave: X servers that answer garbage, half
// an answer or stall; a window helper that is missing, broken, crashes or is slow; closed
// standard streams; a display that dies or stops under the error report. The send never waits on
// the desktop for more than its deadline, and the run always ends.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_x_server.h"
#include "support/hang_bound.h"
#include "support/shipped_program.h"
#include "support/x_server.h"
#include "support/x_windows.h"

namespace {

using namespace pelvaro::testing;
using namespace std::chrono_literals;

// The desktop deadline (1 s from the start) and the program's own start and send.
constexpr auto within_deadline = 2s;
// An error report's box that does not appear, or whose display stops answering, is given up after
// the helper's silence limit (3 s).
constexpr auto within_silence_limit = 5s;

constexpr const char* good_settings = "[ayar]\ncom=3\n";

class DesktopFaults : public ShippedProgramTest {
 protected:
  // The report of a run whose settings file is missing.
  std::string missing_settings_line() const {
    return "pelvaro: run-time error 380: Invalid property value: settings file " +
           (folder.path() / "pelvaro.txt").string() + ": not found\n";
  }

  void SetUp() override {
    ShippedProgramTest::SetUp();
    if (IsSkipped()) return;
    if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    server = std::make_unique<XServer>(false);
  }

  // Runs with COM2 and COM3 on `display` and checks that the byte went out on COM3 only, with
  // status 0, within the deadline.
  void expect_sent_in_time(const std::string& display, std::vector<std::string> environment = {}) {
    write_settings(good_settings);
    auto lines = ports({2, 3});
    environment.push_back("DISPLAY=" + display);
    const auto result = run(lines, environment);
    EXPECT_EQ(result.exit_status, 0) << result.standard_error;
    EXPECT_EQ(lines[1].take_received(), "a");
    EXPECT_EQ(lines[0].take_received(), "");
    EXPECT_TRUE(ended_within(result.elapsed, within_deadline));
  }

  // The program started through a shell that first closes the given standard streams.
  vcom::ProcessResult run_with_closed(std::vector<vcom::VirtualPort>& lines,
                                      const std::string& closing) {
    std::vector<std::string> environment{"DISPLAY=" + server->display()};
    pass_on_sanitizer_options(environment);
    auto result = vcom::run_with_ports(
        lines, {"/bin/sh", "-c", "exec \"$0\" " + closing, program().string()}, 20s, environment);
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  // Waits for the error report's box, as a person sees it.
  XWindow wait_for_report() {
    XConnection x{server->display()};
    return wait_for_window(x.get(), "pelvaro", 30s);
  }

  std::unique_ptr<XServer> server;
};

TEST_F(DesktopFaults, XServersThatAnswerGarbageOrHalfASetupAreNoDisplay) {
  for (const auto behaviour :
       {FakeXServer::Behaviour::garbage, FakeXServer::Behaviour::half_setup}) {
    const FakeXServer fake{behaviour};
    SCOPED_TRACE(fake.display());
    expect_sent_in_time(fake.display());
  }
}

TEST_F(DesktopFaults, AServerThatStallsAfterAWholeSetupCostsAtMostTheDeadline) {
  const FakeXServer proxy{FakeXServer::Behaviour::stall_after_setup, server->display()};
  expect_sent_in_time(proxy.display());
}

TEST_F(DesktopFaults, AStoppedServerCostsAtMostTheDeadline) {
  ::kill(server->server_pid(), SIGSTOP);
  expect_sent_in_time(server->display());
  ::kill(server->server_pid(), SIGCONT);
}

TEST_F(DesktopFaults, AMissingTruncatedOrCrashingHelperIsNoWindow) {
  const std::string helper = window_helper().string();
  const std::string intact = folder.path() / "intact";
  std::filesystem::copy_file(helper, intact);
  {
    SCOPED_TRACE("crashing as it opens the display");
    expect_sent_in_time(server->display(),
                        {"LD_PRELOAD=" DISPLAY_FAULTS_LIBRARY, "PELVARO_DISPLAY_FAULT=crash",
                         "ASAN_OPTIONS=verify_asan_link_order=0"});
  }
  {
    SCOPED_TRACE("truncated, as by a full disk during an update");
    std::filesystem::resize_file(helper, std::filesystem::file_size(helper) / 2);
    expect_sent_in_time(server->display());
  }
  {
    SCOPED_TRACE("missing");
    std::filesystem::remove(helper);
    expect_sent_in_time(server->display());
  }
}

TEST_F(DesktopFaults, ADisplayConnectionThatTakesSecondsIsNotWaitedFor) {
  expect_sent_in_time(server->display(),
                      {"LD_PRELOAD=" DISPLAY_FAULTS_LIBRARY, "PELVARO_DISPLAY_FAULT=slow",
                       "ASAN_OPTIONS=verify_asan_link_order=0"});
}

TEST_F(DesktopFaults, AWindowClosedBeforeItIsActiveStillSends) {
  // The window never gets the focus, so it never becomes active, and it is closed as soon as it
  // is seen, as from a taskbar: the run sends all the same, and says so by its status.
  XConnection x{server->display()};
  write_settings(good_settings);
  auto lines = ports({2, 3});
  auto running = std::async(std::launch::async, [&] {
    return run(lines, {"DISPLAY=" + server->display(), "LD_PRELOAD=" DISPLAY_FAULTS_LIBRARY,
                       "PELVARO_DISPLAY_FAULT=no-focus", "ASAN_OPTIONS=verify_asan_link_order=0"});
  });
  const XWindow form = wait_for_window(x.get(), "Form1", hang_bound(within_deadline));
  EXPECT_NE(form, 0u) << "the window never appeared";
  if (form) {
    EXPECT_FALSE(has_focus(x.get(), form));
    ask_to_close(x.get(), form);
  }
  const auto result = running.get();
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(lines[1].take_received(), "a");
  EXPECT_EQ(lines[0].take_received(), "");
  EXPECT_TRUE(ended_within(result.elapsed, within_deadline));
}

TEST_F(DesktopFaults, TheHelperIsStartedOnlyWhenADisplayAnswers) {
  // A stand-in helper that leaves a mark and never shows anything.
  const auto mark = folder.path() / "started";
  std::filesystem::remove(window_helper());
  std::ofstream{window_helper()} << "#!/bin/sh\ntouch '" << mark.string() << "'\nexec sleep 30\n";
  std::filesystem::permissions(window_helper(), std::filesystem::perms::owner_all);
  write_settings(good_settings);
  auto lines = ports({3});
  EXPECT_EQ(run(lines).exit_status, 0);
  EXPECT_FALSE(std::filesystem::exists(mark)) << "a helper was started without a display";
  EXPECT_EQ(lines[0].take_received(), "a");
  // With a display it is started, and a helper that never shows the window costs the deadline.
  const auto result = run(lines, {"DISPLAY=" + server->display()});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(std::filesystem::exists(mark));
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_GE(result.elapsed, 1s);
  EXPECT_TRUE(ended_within(result.elapsed, within_deadline));
}

class ClosedStandardStreams : public DesktopFaults,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(ClosedStandardStreams, TheWindowAndTheErrorReportStillWork) {
  write_settings(good_settings);
  auto lines = ports({3});
  const auto sent = run_with_closed(lines, GetParam());
  EXPECT_EQ(sent.exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_TRUE(ended_within(sent.elapsed, within_deadline));

  std::filesystem::remove(folder.path() / "pelvaro.txt");
  auto running = std::async(std::launch::async, [&] { return run_with_closed(lines, GetParam()); });
  const XWindow report = wait_for_report();
  ASSERT_NE(report, 0u) << "no error report appeared";
  press_key_until(server->display(), report, "Return",
                  [&] { return running.wait_for(500ms) == std::future_status::ready; });
  const auto result = running.get();
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(lines[0].take_received(), "");
}

INSTANTIATE_TEST_SUITE_P(Desktop, ClosedStandardStreams, ::testing::Values("2>&-", "<&- >&- 2>&-"),
                         [](const auto& info) {
                           return info.index == 0 ? "StandardError" : "AllThree";
                         });

TEST_F(DesktopFaults, TheHelperHoldsOnlyItsChannelAndSpeaksNotOnTheRunsStandardError) {
  // A stand-in helper that complains as Xlib does to a display that refuses it, and notes the
  // descriptors it was given; pelvaro is started with one more of its caller's open (7).
  const auto noted = folder.path() / "descriptors";
  std::filesystem::remove(window_helper());
  std::ofstream{window_helper()} << "#!/bin/sh\nls /proc/$$/fd > '" << noted.string()
                                 << "'\necho 'Authorization required' >&2\nexec sleep 30\n";
  std::filesystem::permissions(window_helper(), std::filesystem::perms::owner_all);
  write_settings(good_settings);
  auto lines = ports({3});
  const auto result = run_with_closed(lines, "7</dev/null");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.standard_error, "");
  EXPECT_EQ(lines[0].take_received(), "a");
  std::ifstream listing{noted};
  std::vector<std::string> descriptors;
  for (std::string fd; listing >> fd;) descriptors.push_back(fd);
  EXPECT_NE(std::find(descriptors.begin(), descriptors.end(), "3"), descriptors.end());
  EXPECT_EQ(std::find(descriptors.begin(), descriptors.end(), "7"), descriptors.end())
      << "the caller's descriptor reached the helper";
}

TEST_F(DesktopFaults, TheHelperEndsWithPelvaroEvenWhileItsServerIsStopped) {
  // pelvaro is killed while its report is up and the X server stands still: nothing is left to
  // close the helper's connection, so only the helper itself can notice that pelvaro has gone.
  auto lines = ports({3});  // and no settings file
  const std::string count_helpers = "ls -l /proc/[0-9]*/exe 2>/dev/null | grep -c -- \"$1\"";
  auto running = std::async(std::launch::async, [&] {
    return vcom::run_with_ports(lines,
                                {"/bin/sh", "-c",
                                 "\"$0\" & pelvaro=$!; sleep 2; " + count_helpers +
                                     "; kill -KILL $pelvaro; sleep 1; " + count_helpers,
                                 program().string(), window_helper().string()},
                                20s, {"DISPLAY=" + server->display()});
  });
  ASSERT_NE(wait_for_report(), 0u) << "no error report appeared";
  ::kill(server->server_pid(), SIGSTOP);
  const auto result = running.get();
  ::kill(server->server_pid(), SIGCONT);
  EXPECT_EQ(result.standard_output, "1\n0\n") << "helpers before and after pelvaro's end";
}

TEST_F(DesktopFaults, TheErrorReportEndsWhenItsServerIsKilled) {
  auto lines = ports({3});  // and no settings file
  auto running =
      std::async(std::launch::async, [&] { return run(lines, {"DISPLAY=" + server->display()}); });
  ASSERT_NE(wait_for_report(), 0u) << "no error report appeared";
  server.reset();  // the user logs out
  ASSERT_EQ(running.wait_for(hang_bound(within_deadline)), std::future_status::ready)
      << "the run went on without its display";
  const auto result = running.get();
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.standard_error, missing_settings_line());
  EXPECT_EQ(lines[0].take_received(), "");
}

TEST_F(DesktopFaults, TheErrorReportEndsWhenItsServerStops) {
  auto lines = ports({3});  // and no settings file
  auto running =
      std::async(std::launch::async, [&] { return run(lines, {"DISPLAY=" + server->display()}); });
  ASSERT_NE(wait_for_report(), 0u) << "no error report appeared";
  ::kill(server->server_pid(), SIGSTOP);
  const bool ended =
      running.wait_for(hang_bound(within_silence_limit)) == std::future_status::ready;
  ::kill(server->server_pid(), SIGCONT);
  ASSERT_TRUE(ended) << "the run waits on a display that does not answer";
  const auto result = running.get();
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.standard_error, missing_settings_line());
  EXPECT_EQ(lines[0].take_received(), "");
}

TEST_F(DesktopFaults, WithAStalledDisplayTheErrorReportIsTheLineAloneAndEnds) {
  const FakeXServer proxy{FakeXServer::Behaviour::stall_after_setup, server->display()};
  auto lines = ports({3});  // and no settings file
  const auto result = run(lines, {"DISPLAY=" + proxy.display()});
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.standard_error, missing_settings_line());
  EXPECT_EQ(lines[0].take_received(), "");
  EXPECT_TRUE(ended_within(result.elapsed, within_silence_limit));
}

}  // namespace
