#include "app/main_window.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/executable_path.h"
#include "platform/text_encoding.h"
#include "serial/comm_control.h"
#include "settings/profile.h"
#include "support/error_number.h"
#include "support/recording_control.h"
#include "support/temporary_directory.h"
#include "support/turkish_settings.h"

namespace pelvaro {
namespace {

using testing::RecordingControl;
using testing::TemporaryDirectory;

std::u16string wide(const std::string& ascii) {
  return {ascii.begin(), ascii.end()};
}

TEST(MainWindowDescription, IsTheSmallForm1WithTwentySixPortChoices) {
  const WindowDescription& d = frovan_description();
  EXPECT_EQ(d.caption, u"Form1");
  EXPECT_EQ(d.client_width, 3450);
  EXPECT_EQ(d.client_height, 1035);
  ASSERT_EQ(d.list_choices.size(), 26u);
  EXPECT_EQ(d.list_choices[0], u"KAPALI");
  for (std::size_t n = 1; n <= 25; ++n) EXPECT_EQ(d.list_choices[n], wide(std::to_string(n)));
  ASSERT_EQ(d.controls.size(), 3u);
  EXPECT_EQ(d.controls[0].name, "Command1");
  EXPECT_EQ(d.controls[1].name, "com");
  EXPECT_EQ(d.controls[2].name, "MSComm1");
}

// A desktop whose window becomes active as soon as it is shown, or (`activates` false) goes before
// it ever does: closed by the user while the foreground lock keeps it inactive, destroyed, or
// never shown at all. It keeps the report it is handed, and prints it as every display does.
class ScriptedDisplay final : public Display {
 public:
  explicit ScriptedDisplay(bool activates) : activates_(activates) {}

  void show(Form&) override {}
  FormEvent next_event() override {
    if (std::exchange(activates_, false)) return {FormEventKind::activated, {}};
    return {FormEventKind::closed, {}};
  }
  void report_unhandled_error(const RuntimeError& error) override {
    print_unhandled_error(error);
    report = unhandled_error_line(error);
  }
  std::string report;

 private:
  bool activates_;
};

class MainWindowTest : public ::testing::Test {
 protected:
  TemporaryDirectory folder;

  frovan window_with(std::unique_ptr<Dispatch> control) {
    const std::u16string directory = folder.path().u16string();
    return frovan{Application{[directory] { return directory; }, path_separator()},
                  std::move(control)};
  }
  frovan window_recording(RecordingControl*& recorder, std::optional<int> failing = {}) {
    auto control = std::make_unique<RecordingControl>(failing);
    recorder = control.get();
    return window_with(std::move(control));
  }
};

TEST_F(MainWindowTest, LoadingSelectsThePortFromTheSettingsFileBesideTheProgram) {
  folder.write("pelvaro.txt", "[ayar]\ncom=7\n");
  RecordingControl* control = nullptr;
  frovan window = window_recording(control);
  window.Form_Load();
  EXPECT_EQ(window.com.text(), u"7");
  EXPECT_TRUE(control->assignments.empty());  // loading sends nothing
}

TEST_F(MainWindowTest, LoadingWithoutAUsableValueIsAnError) {
  RecordingControl* control = nullptr;
  frovan window = window_recording(control);
  EXPECT_THROW(window.Form_Load(), RuntimeError);  // no settings file at all
  folder.write("pelvaro.txt", "[ayar]\ncom=30\n");
  EXPECT_THROW(window.Form_Load(), RuntimeError);
}

TEST_F(MainWindowTest, KapaliInTurkishSelectsTheSwitchedOffChoiceAsItIsSpelledInTheList) {
  for (const auto spelling : testing::kapali_spellings) {
    for (const auto encoding : testing::editor_encodings) {
      folder.write("pelvaro.txt", testing::settings_saved_as(spelling, encoding));
      RecordingControl* control = nullptr;
      frovan window = window_recording(control);
      window.Form_Load();
      EXPECT_EQ(window.com.selected_index(), 0u) << to_ansi(spelling) << " " << name_of(encoding);
      EXPECT_EQ(window.com.text(), u"KAPALI");
    }
  }
}

TEST_F(MainWindowTest, ATypoOfKapaliIsReportedAsTheValueItIs) {
  RecordingControl* control = nullptr;
  frovan window = window_recording(control);
  const std::string file = to_ansi(settings_path(folder.path().u16string(), path_separator()));
  for (const std::string typo : {"KAPALY", "KAPAL", "KAPALII"}) {
    folder.write("pelvaro.txt", "[ayar]\ncom=" + typo + "\n");
    try {
      window.Form_Load();
      ADD_FAILURE() << typo << " was taken";
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.number(), ErrorNumber::invalid_property_value);
      EXPECT_EQ(std::string{error.what()},
                "Invalid property value: settings file " + file + ": com=\"" + typo +
                    "\" is not one of the choices KAPALI, 1, 2, ..., 25");
    }
  }
}

TEST_F(MainWindowTest, ActivationSendsThenEndsWithAStatusThatTellsWhatHappened) {
  struct Case {
    const char* setting;
    std::optional<int> failing;
    ExitStatus status;
  };
  for (const auto& [setting, failing, status] : {
           Case{"3", {}, ExitStatus::success}, Case{"3", 3, ExitStatus::failure_dropped},
           Case{"KAPALI", 1, ExitStatus::switched_off},
           Case{"KAPALI", {}, ExitStatus::success},  // a control that still went somewhere
       }) {
    folder.write("pelvaro.txt", std::string{"[ayar]\ncom="} + setting + "\n");
    RecordingControl* control = nullptr;
    frovan window = window_recording(control, failing);
    window.Form_Load();
    window.Form_Activate();
    EXPECT_EQ(window.ending(), status) << setting;
    EXPECT_EQ(control->assignments.size(), 5u);
  }
}

TEST_F(MainWindowTest, TheButtonSendsWithoutEndingAndReportsTheFirstFailure) {
  folder.write("pelvaro.txt", "[ayar]\ncom=5\n");
  RecordingControl* control = nullptr;
  frovan window = window_recording(control, 8);
  window.Form_Load();
  window.Click("Command1");
  EXPECT_EQ(control->assignments.size(), 5u);
  EXPECT_THROW(window.Click("Command1"), RuntimeError);  // the third statement of the second run
  EXPECT_EQ(control->assignments.size(), 8u);
  window.Click("com");  // clicking the list runs nothing
  EXPECT_EQ(control->assignments.size(), 8u);
}

TEST_F(MainWindowTest, TheRuntimeLoadsActivatesAndEnds) {
  folder.write("pelvaro.txt", "[ayar]\ncom=KAPALI\n");
  RecordingControl* control = nullptr;
  frovan window = window_recording(control, 1);
  ScriptedDisplay display{true};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_forms_application(window, display), ExitStatus::switched_off);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // activation never prints
  EXPECT_EQ(control->assignments.size(), 5u);
}

TEST_F(MainWindowTest, AWindowGoneBeforeActivationStillSendsAndTheStatusSaysWhatWentOut) {
  folder.write("pelvaro.txt", "[ayar]\ncom=3\n");
  for (const auto& [failing, status] :
       {std::pair{std::optional<int>{}, ExitStatus::success},
        std::pair{std::optional<int>{3}, ExitStatus::failure_dropped}}) {
    RecordingControl* control = nullptr;
    frovan window = window_recording(control, failing);
    ScriptedDisplay display{false};
    EXPECT_EQ(run_forms_application(window, display), status);
    EXPECT_EQ(control->assignments.size(), 5u);
  }
}

TEST_F(MainWindowTest, ALoadFailureIsReportedWithTheSettingsFileAndNothingIsSent) {
  folder.write("pelvaro.txt", "[ayar]\ncom=\n");
  RecordingControl* control = nullptr;
  frovan window = window_recording(control);
  ScriptedDisplay display{false};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_forms_application(window, display), ExitStatus::unhandled_error);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  const std::string expected =
      "pelvaro: run-time error 380: Invalid property value: settings file " +
      to_ansi(settings_path(folder.path().u16string(), path_separator())) +
      ": com is empty: the choices are KAPALI, 1, 2, ..., 25";
  EXPECT_EQ(printed, expected + "\n");
  EXPECT_EQ(display.report, expected);  // what the box shows is what was printed
  EXPECT_TRUE(control->assignments.empty());
}

TEST_F(MainWindowTest, WithTheRealControlKapaliOpensNothing) {
  folder.write("pelvaro.txt", "[ayar]\ncom=KAPALI\n");
  int opens = 0;
  frovan window = window_with(std::make_unique<CommControl>([&](int, const LineSettings&) {
    ++opens;
    return std::unique_ptr<SerialPort>{};
  }));
  ScriptedDisplay display{true};
  EXPECT_EQ(run_forms_application(window, display), ExitStatus::switched_off);
  EXPECT_EQ(opens, 0);
}

}  // namespace
}  // namespace pelvaro
