// The window on a real X server (Xvfb), with and without a window manager: shown by the window
// helper process, driven through real pointer and key events, its events read over the channel.

#include <gtest/gtest.h>  // before the toolkit, whose X headers define None and Bool

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "platform/fltk/error_report_box.h"
#include "platform/fltk/fltk_options.h"
#include "platform/fltk/fltk_window.h"
#include "platform/fltk/text_wrap.h"
#include "platform/posix/desktop/helper_display.h"
#include "platform/posix/serial/serial_device.h"
#include "platform/text_encoding.h"
#include "serial/comm_control.h"
#include "support/hang_bound.h"
#include "support/inert_activation.h"
#include "support/temporary_directory.h"
#include "support/x_server.h"
#include "support/x_windows.h"
#include "virtual_com.h"

namespace pelvaro {
namespace {

using namespace pelvaro::testing;
using Clock = std::chrono::steady_clock;

// The main window as the program makes it, with COM5 and COM7 as pseudo-terminals.
class MainWindowFixture {
 protected:
  MainWindowFixture() {
    folder.write("pelvaro.txt", "[ayar]\ncom=5\n");
    ports.emplace_back(5);
    ports.emplace_back(7);
    const std::u16string directory = from_ansi(folder.path().string());
    window = std::make_unique<frovan>(
        Application{[directory] { return directory; }, u'/'},
        std::make_unique<CommControl>([this](int n, const LineSettings& settings) {
          for (auto& port : ports) {
            if (port.com() == n) return open_serial_device(port.pty_path(), settings);
          }
          throw RuntimeError{ErrorNumber::device_unavailable};
        }));
    form = std::make_unique<InertActivation>(*window);
  }

  std::string received(int com) {
    for (auto& port : ports) {
      if (port.com() == com) return port.take_received();
    }
    return "?";
  }

  TemporaryDirectory folder;
  std::vector<vcom::VirtualPort> ports;
  std::unique_ptr<frovan> window;
  std::unique_ptr<InertActivation> form;
};

class WindowHelperTest : public ::testing::TestWithParam<bool>, protected MainWindowFixture {
 protected:
  void SetUp() override {
    if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    server = std::make_unique<XServer>(GetParam());
    ::setenv("DISPLAY", server->display().c_str(), 1);
    // Patient: these tests look at the window, they do not time it.
    display = start_window_helper(PELVARO_WINDOW_HELPER, Clock::now() + std::chrono::seconds{20});
    ASSERT_NE(display, nullptr);
    x = std::make_unique<XConnection>(server->display());
    form->Form_Load();
    display->show(*form);
  }

  XWindow shown_window() { return find_window_titled(x->get(), "Form1"); }

  std::unique_ptr<XServer> server;
  std::unique_ptr<Display> display;
  std::unique_ptr<XConnection> x;
};

TEST_P(WindowHelperTest, ShowsForm1AndIsActivatedOnceDrawnAndFocused) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  const XWindow shown = shown_window();
  ASSERT_NE(shown, 0u) << "activated without a window";
  const WindowSize size = window_size(x->get(), shown);
  EXPECT_EQ(size.width, 230);  // 3450 x 1035 twips at 96 dots per inch
  EXPECT_EQ(size.height, 69);
  EXPECT_TRUE(is_viewable(x->get(), shown));
  EXPECT_TRUE(has_focus(x->get(), shown)) << "activated without the focus";
}

TEST_P(WindowHelperTest, ClickingCommand1SendsOneByteAndLeavesTheWindowOpen) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  const XWindow shown = shown_window();
  click(server->display(), shown, 76, 44);
  const FormEvent event = display->next_event();
  ASSERT_EQ(event.kind, FormEventKind::clicked);
  EXPECT_EQ(event.control_name, "Command1");
  form->Click(event.control_name);
  EXPECT_EQ(received(5), "a");
  EXPECT_EQ(received(7), "");
  EXPECT_TRUE(is_viewable(x->get(), shown));
}

TEST_P(WindowHelperTest, APersonCanPickAnotherPortBeforeClicking) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  const std::string id = std::to_string(shown_window());
  const std::string script = "DISPLAY=" + server->display() + " xdotool mousemove --window " + id +
                             " 28 10 click 1 sleep 0.5 key Down Down Return sleep 0.3" +
                             " mousemove --window " + id + " 76 44 click 1";
  pid_t person = 0;
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  ASSERT_EQ(::posix_spawn(&person, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ),
            0);
  const FormEvent event = display->next_event();
  ::waitpid(person, nullptr, 0);
  ASSERT_EQ(event.kind, FormEventKind::clicked);
  EXPECT_EQ(window->com.text(), u"7");  // the helper's selection, applied to the program's list
  form->Click(event.control_name);
  EXPECT_EQ(received(7), "a");
  EXPECT_EQ(received(5), "");
}

TEST_P(WindowHelperTest, ADisplayThatGoesAwayEndsTheWindowNotTheProgram) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  x.reset();
  server.reset();  // the X server ends under the window, and the helper with it
  const auto before = Clock::now();
  EXPECT_EQ(display->next_event().kind, FormEventKind::closed);
  EXPECT_TRUE(ended_within(Clock::now() - before, std::chrono::seconds{2}));
  form->Click("Command1");  // and the program goes on: the port is still there to send on
  EXPECT_EQ(received(5), "a");
}

INSTANTIATE_TEST_SUITE_P(Desktop, WindowHelperTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "WithWindowManager" : "WithoutWindowManager";
                         });

// The helper's widgets, built in this process from what the program sends, to be measured.
class HelperWidgets : public ::testing::Test, protected MainWindowFixture {
 protected:
  void SetUp() override {
    if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    server = std::make_unique<XServer>(false);
    use_default_fltk_options();
    fl_open_display(XOpenDisplay(server->display().c_str()));
  }
  void TearDown() override {
    if (server) fl_close_display();
  }

  std::unique_ptr<XServer> server;
};

template <class Widget>
Widget* find_widget(Fl_Window& window) {
  for (int i = 0; i < window.children(); ++i) {
    if (auto* widget = dynamic_cast<Widget*>(window.child(i))) return widget;
  }
  return nullptr;
}

TEST_F(HelperWidgets, TheWindowHasTheListWithItsSelectionAndTheButton) {
  form->Form_Load();
  FltkWindow shown{shown_window(*form), 96.0f, [](window_protocol::Event) {}};
  EXPECT_STREQ(shown.label(), "Form1");
  auto* list = find_widget<Fl_Choice>(shown);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size() - 1, 26);  // FLTK counts the menu's terminator
  EXPECT_STREQ(list->text(), "5");
  EXPECT_EQ(list->x(), 0);
  EXPECT_EQ(list->w(), 57);

  auto* button = find_widget<Fl_Button>(shown);
  ASSERT_NE(button, nullptr);
  EXPECT_STREQ(button->label(), "Command1");
  EXPECT_EQ(button->x(), 40);
  EXPECT_EQ(button->y(), 32);
  EXPECT_EQ(button->w(), 73);
  EXPECT_EQ(button->h(), 25);
  fl_font(button->labelfont(), button->labelsize());
  EXPECT_LT(fl_width("Command1"), button->w() - 4) << "the caption does not fit its button";
}

// Lines joined again where they were broken: at a dropped blank, or inside a word.
std::string rejoined(const std::vector<std::string>& lines, const std::string& original) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty() && original.compare(text.size(), 1, " ") == 0) text += ' ';
    text += line;
  }
  return text;
}

TEST_F(HelperWidgets, TheErrorReportShowsALongTextWholeAndWrapped) {
  const std::string text =
      "pelvaro: run-time error 380: Invalid property value: the setting com of "
      "/srv/deployments/gate-controller/north-entrance/second-floor/"
      "a-folder-whose-name-goes-on-and-on-without-a-single-blank-in-it/pelvaro.txt is \"30\", "
      "which is not one of the list's choices KAPALI, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, "
      "14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24 or 25 (a value @of &markup)";
  ASSERT_GT(text.size(), 300u);
  ErrorReportBox box{text, 96.0f, [] {}};
  EXPECT_GT(box.lines().size(), 4u);
  EXPECT_EQ(rejoined(box.lines(), text), text);
  fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
  for (const std::string& line : box.lines()) {
    EXPECT_LE(fl_width(line.c_str()), 432 + 1) << line;  // 4.5 inches at 96 dots per inch
  }
  EXPECT_LT(box.w(), 1024);  // fits the screen
  EXPECT_GT(box.h(), static_cast<int>(box.lines().size()) * fl_height());
}

TEST(TextWrap, BreaksAtBlanksAndInsideWordsTooLongForALine) {
  const auto characters = [](std::string_view part) { return static_cast<int>(part.size()); };
  EXPECT_EQ(wrap_text("one two three", 7, characters),
            (std::vector<std::string>{"one two", "three"}));
  EXPECT_EQ(wrap_text("a /very/long/path b", 6, characters),
            (std::vector<std::string>{"a", "/very/", "long/p", "ath b"}));
  EXPECT_EQ(wrap_text("first\nsecond", 80, characters),
            (std::vector<std::string>{"first", "second"}));
  // UTF-8 characters are never split.
  EXPECT_EQ(wrap_text("\xC3\xA7\xC3\xA7\xC3\xA7", 4, characters),
            (std::vector<std::string>{"\xC3\xA7\xC3\xA7", "\xC3\xA7"}));
}

}  // namespace
}  // namespace pelvaro
