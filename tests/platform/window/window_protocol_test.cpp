// The channel between pelvaro and its window helper: what one side encodes the other reads back
// whole, however the bytes arrive, and anything malformed breaks the channel for good rather
// than being half believed.

#include "platform/window/window_protocol.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>

#include "app/main_window.h"
#include "platform/posix/desktop/helper_display.h"
#include "serial/comm_control.h"

namespace pelvaro::window_protocol {
namespace {

ShownWindow main_window_with(std::u16string_view selection) {
  frovan window{Application{[] { return std::u16string{}; }, u'/'},
                std::make_unique<CommControl>(open_serial_port)};
  window.com.set_text(selection);
  return shown_window(window);
}

TEST(WindowProtocol, TheMainWindowArrivesWholeEvenByteByByte) {
  const ShownWindow sent = main_window_with(u"7");
  const std::string bytes = encode(Show{sent}) + encode(Report{"pelvaro: run-time error 6"});
  CommandReader reader;
  std::vector<Command> received;
  for (const char byte : bytes) {
    reader.append({&byte, 1});
    while (auto command = reader.next()) received.push_back(std::move(*command));
  }
  ASSERT_EQ(received.size(), 2u);
  ASSERT_FALSE(reader.broken());
  const ShownWindow& shown = std::get<Show>(received[0]).window;
  EXPECT_EQ(shown.caption, "Form1");
  EXPECT_EQ(shown.client_width, 3450);
  EXPECT_EQ(shown.client_height, 1035);
  ASSERT_EQ(shown.controls.size(), 3u);
  EXPECT_EQ(shown.controls[0].caption, "Command1");
  EXPECT_EQ(shown.controls[0].kind, ControlKind::command_button);
  EXPECT_EQ(shown.controls[0].left, 600);
  EXPECT_EQ(shown.controls[1].kind, ControlKind::drop_down_list);
  EXPECT_EQ(shown.list_choices.size(), 26u);
  EXPECT_EQ(shown.list_choices[shown.selected_choice], "7");
  EXPECT_EQ(std::get<Report>(received[1]).text, "pelvaro: run-time error 6");
}

TEST(WindowProtocol, EventsArriveInOrder) {
  EventReader reader;
  reader.append(encode(Event{EventKind::selection_changed, 7}) + encode(Event{EventKind::active}));
  const auto first = reader.next();
  const auto second = reader.next();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->kind, EventKind::selection_changed);
  EXPECT_EQ(first->index, 7);
  EXPECT_EQ(second->kind, EventKind::active);
  EXPECT_FALSE(reader.next());
}

std::string framed(const std::string& body) {
  const auto size = static_cast<std::uint32_t>(body.size());
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(size >> (8 * i));
  return frame + body;
}

TEST(WindowProtocol, AnythingMalformedBreaksTheChannel) {
  const std::string show = encode(Show{main_window_with(u"3")});
  const std::string event = encode(Event{EventKind::clicked, 0});
  const std::string cases[] = {
      std::string{"\xff\xff\xff\x7f", 4},              // a length beyond the limit
      framed(event.substr(4) + "x"),                   // a byte too many
      framed(event.substr(4, event.size() - 5)),       // a byte too few
      framed(std::string{"\x09\0\0\0\0", 5}),          // no such event
      framed(std::string{"\x02\xff\xff\xff\xff", 5}),  // a negative index
  };
  for (const std::string& bytes : cases) {
    EventReader reader;
    reader.append(bytes);
    EXPECT_FALSE(reader.next());
    EXPECT_TRUE(reader.broken());
    reader.append(event);
    EXPECT_FALSE(reader.next()) << "a broken channel is believed again";
  }
  std::string bad_selection = show;
  bad_selection[bad_selection.size() - 4] = 26;  // the selection: one past the last choice
  std::string bad_kind = show;
  bad_kind[4 + 1 + 4 + 5 + 4 + 4 + 4] = 9;  // the first control's kind
  for (const std::string& bytes : {bad_selection, bad_kind, framed("\x07")}) {
    CommandReader reader;
    reader.append(bytes);
    EXPECT_FALSE(reader.next());
    EXPECT_TRUE(reader.broken());
  }
}

}  // namespace
}  // namespace pelvaro::window_protocol
