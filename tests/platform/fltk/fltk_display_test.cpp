// The window on a real X server (Xvfb), with and without a window manager, driven through real
// pointer and key events.

#include <gtest/gtest.h>  // before the toolkit, whose X headers define None and Bool

#include "platform/fltk/fltk_display.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/fl_draw.H>
#include <spawn.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "platform/posix/posix_serial_port.h"
#include "platform/text_encoding.h"
#include "serial/comm_control.h"
#include "support/inert_activation.h"
#include "support/temporary_directory.h"
#include "support/x_server.h"
#include "support/x_windows.h"
#include "virtual_com.h"

namespace pelvaro {
namespace {

using namespace pelvaro::testing;

template <class Widget>
Widget* find_widget(Fl_Window* window) {
  for (int i = 0; window && i < window->children(); ++i) {
    if (auto* widget = dynamic_cast<Widget*>(window->child(i))) return widget;
  }
  return nullptr;
}

class FltkWindowTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (const std::string why = XServer::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    server = std::make_unique<XServer>(GetParam());
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
    display = std::make_unique<FltkDisplay>(XOpenDisplay(server->display().c_str()));
    x = std::make_unique<XConnection>(server->display());
    form->Form_Load();
    display->show(*form);
  }

  std::string received(int com) {
    for (auto& port : ports) {
      if (port.com() == com) return port.take_received();
    }
    return "?";
  }

  TemporaryDirectory folder;
  std::unique_ptr<XServer> server;
  std::vector<vcom::VirtualPort> ports;
  std::unique_ptr<frovan> window;
  std::unique_ptr<InertActivation> form;
  std::unique_ptr<FltkDisplay> display;
  std::unique_ptr<XConnection> x;
};

TEST_P(FltkWindowTest, ShowsForm1WithItsControlsAndIsActivatedByTheFocus) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  const XWindow shown = display->shown_window();
  ASSERT_NE(shown, 0u);
  EXPECT_EQ(window_title(x->get(), shown), "Form1");
  const WindowSize size = window_size(x->get(), shown);
  EXPECT_EQ(size.width, 230);  // 3450 x 1035 twips at 96 dots per inch
  EXPECT_EQ(size.height, 69);
  EXPECT_TRUE(is_viewable(x->get(), shown));
  EXPECT_TRUE(has_focus(x->get(), shown)) << "activated without the focus";

  auto* list = find_widget<Fl_Choice>(Fl::first_window());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size() - 1, 26);  // FLTK counts the menu's terminator
  EXPECT_STREQ(list->text(), "5");
  EXPECT_EQ(list->x(), 0);
  EXPECT_EQ(list->w(), 57);

  auto* button = find_widget<Fl_Button>(Fl::first_window());
  ASSERT_NE(button, nullptr);
  EXPECT_STREQ(button->label(), "Command1");
  EXPECT_EQ(button->x(), 40);
  EXPECT_EQ(button->y(), 32);
  EXPECT_EQ(button->w(), 73);
  EXPECT_EQ(button->h(), 25);
  fl_font(button->labelfont(), button->labelsize());
  EXPECT_LT(fl_width("Command1"), button->w() - 4) << "the caption does not fit its button";
}

TEST_P(FltkWindowTest, ClickingCommand1SendsOneByteAndLeavesTheWindowOpen) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  const XWindow shown = display->shown_window();
  click(server->display(), shown, 76, 44);
  const FormEvent event = display->next_event();
  ASSERT_EQ(event.kind, FormEventKind::clicked);
  EXPECT_EQ(event.control_name, "Command1");
  form->Click(event.control_name);
  EXPECT_EQ(received(5), "a");
  EXPECT_EQ(received(7), "");
  EXPECT_TRUE(is_viewable(x->get(), shown));
}

TEST_P(FltkWindowTest, APersonCanPickAnotherPortBeforeClicking) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  const std::string id = std::to_string(display->shown_window());
  // The list's menu runs inside the toolkit's event loop, so the person acts from another process.
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
  EXPECT_EQ(window->com.text(), u"7");
  form->Click(event.control_name);
  EXPECT_EQ(received(7), "a");
  EXPECT_EQ(received(5), "");
}

TEST_P(FltkWindowTest, ADisplayThatGoesAwayEndsTheWindowNotTheProgram) {
  ASSERT_EQ(display->next_event().kind, FormEventKind::activated);
  x.reset();
  server.reset();  // the X server ends under the window
  EXPECT_EQ(display->next_event().kind, FormEventKind::closed);
  form->Click("Command1");  // and the program goes on: the port is still there to send on
  EXPECT_EQ(received(5), "a");
}

INSTANTIATE_TEST_SUITE_P(Desktop, FltkWindowTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "WithWindowManager" : "WithoutWindowManager";
                         });

}  // namespace
}  // namespace pelvaro
