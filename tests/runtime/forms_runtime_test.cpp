#include "runtime/forms_runtime.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace pelvaro {
namespace {

constexpr WindowDescription bare_window{u"Form1", 3450, 1035, {}, {}};
constexpr ControlDescription button_and_list[] = {
    {"Command1", ControlKind::command_button, 0, 0, 0, 0, {}},
    {"com", ControlKind::drop_down_list, 0, 0, 0, 0, {}}};
constexpr std::u16string_view two_choices[] = {u"KAPALI", u"1"};
constexpr WindowDescription small_window{u"Form1", 3450, 1035, button_and_list, two_choices};

// A window that notes each handler it runs, and ends the program in the one it is told to.
class NotingForm final : public Form {
 public:
  NotingForm(std::string ending_in, ExitStatus status,
             const WindowDescription& description = bare_window)
      : ending_in_(std::move(ending_in)), status_(status), description_(description) {}

  const WindowDescription& description() const override { return description_; }
  ComboBox& drop_down_list() override { return list_; }
  void Form_Load() override { handle("load"); }
  void Form_Activate() override { handle("activate"); }
  void Click(std::string_view control_name) override { handle(std::string{control_name}); }

  std::vector<std::string> handled;

 private:
  void handle(const std::string& handler) {
    handled.push_back(handler);
    if (handler == ending_in_) End(status_);
  }

  std::string ending_in_;
  ExitStatus status_;
  const WindowDescription& description_;
  ComboBox list_{description_.list_choices};
};

// Hands out the events it is given, then that the window was closed.
class ScriptedDisplay final : public Display {
 public:
  explicit ScriptedDisplay(std::deque<FormEvent> events) : events_(std::move(events)) {}
  void show(Form&) override { ++shown; }
  FormEvent next_event() override {
    if (events_.empty()) return {FormEventKind::closed, {}};
    const FormEvent event = events_.front();
    events_.pop_front();
    return event;
  }
  void report_unhandled_error(const RuntimeError& error) override {
    reports.push_back(error.what());
  }

  int shown = 0;
  std::vector<std::string> reports;

 private:
  std::deque<FormEvent> events_;
};

TEST(FormsRuntime, EndingAHandlerDeliversNoFurtherEventAndGivesItsStatus) {
  const std::deque<FormEvent> events{{FormEventKind::activated, {}},
                                     {FormEventKind::clicked, "Command1"},
                                     {FormEventKind::clicked, "Command1"}};
  struct Case {
    std::string ending_in;
    ExitStatus status;
    std::vector<std::string> handled;
    int shown;
  };
  for (const auto& [ending_in, status, handled, shown] : {
           Case{"activate", ExitStatus::switched_off, {"load", "activate"}, 1},
           Case{"Command1", ExitStatus::failure_dropped, {"load", "activate", "Command1"}, 1},
           // Ended while loading, the window is never shown.
           Case{"load", ExitStatus::failure_dropped, {"load"}, 0},
           // Nothing ends it: every event, then the closed window's success.
           Case{"", ExitStatus::success, {"load", "activate", "Command1", "Command1"}, 1},
       }) {
    SCOPED_TRACE(ending_in);
    NotingForm form{ending_in, status};
    ScriptedDisplay display{events};
    EXPECT_EQ(run_forms_application(form, display), status);
    EXPECT_EQ(form.handled, handled);
    EXPECT_EQ(display.shown, shown);
    EXPECT_TRUE(display.reports.empty());
  }
}

TEST(WindowEvents, AButtonsClickIsAnEventAndAPickedChoiceIsSelectedAtOnce) {
  NotingForm form{"", ExitStatus::success, small_window};
  const auto click = button_clicked(form, 0);
  ASSERT_TRUE(click);
  EXPECT_EQ(click->kind, FormEventKind::clicked);
  EXPECT_EQ(click->control_name, "Command1");
  EXPECT_FALSE(button_clicked(form, 1));  // the list
  EXPECT_FALSE(button_clicked(form, 2));  // no such control

  choice_picked(form, 1);
  EXPECT_EQ(form.drop_down_list().text(), u"1");
  choice_picked(form, 2);  // no such choice
  EXPECT_EQ(form.drop_down_list().selected_index(), 1u);
  EXPECT_TRUE(form.handled.empty());  // neither runs a handler by itself
}

}  // namespace
}  // namespace pelvaro
