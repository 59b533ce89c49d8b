#pragma once

// What pelvaro and its window helper (pelvaro-window) say to each other over their channel: the
// program tells the helper what to show, the helper tells the program what happened on the
// desktop. Messages are framed (a 4-byte length, then a kind byte and its fields), so that either
// side can tell a whole message from a broken one; the helper's side is plain UTF-8 text.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/window_description.h"

namespace pelvaro::window_protocol {

// A window description that owns its texts (UTF-8), as it travels to the helper.
struct ShownControl {
  ControlKind kind = ControlKind::command_button;
  int left = 0;  // twips, as in the description
  int top = 0;
  int width = 0;
  int height = 0;
  std::string caption;
};

struct ShownWindow {
  std::string caption;
  int client_width = 0;  // twips
  int client_height = 0;
  std::vector<ShownControl> controls;  // in the order of the description
  std::vector<std::string> list_choices;
  int selected_choice = -1;  // of the drop-down list; -1 for none
};

// From the program to the helper.
struct Show {
  ShownWindow window;
};
struct Report {
  std::string text;  // the error report, the very line written to standard error
};
using Command = std::variant<Show, Report>;

// From the helper to the program.
enum class EventKind : std::uint8_t {
  active = 1,             // the window is drawn and has the focus
  clicked = 2,            // a button, by its index among the controls
  selection_changed = 3,  // a person picked a choice, by its index
  closed = 4,             // the window was closed
  report_shown = 5,       // the error report's box is drawn
  report_dismissed = 6,   // ... and a person dismissed it
  alive = 7,              // the display still answers (sent while the helper waits on a person)
};

struct Event {
  EventKind kind;
  int index = 0;  // for clicked and selection_changed
};

// The descriptor on which the helper finds its channel to the program (a socket both ways).
constexpr int helper_channel = 3;

// While it shows something, the helper makes a round trip to its X server this often and then
// says "alive"; a helper that has been silent for the silence limit has lost its display (a
// server that stopped, a link that stalls) and is given up.
constexpr std::chrono::milliseconds alive_interval{500};
constexpr std::chrono::milliseconds silence_limit{3000};

// The largest message either side accepts; anything longer is a broken channel.
constexpr std::size_t message_limit = 64 * 1024;

std::string encode(const Command& command);
std::string encode(const Event& event);

// Collects bytes as they arrive and hands out whole messages. A malformed message makes the
// reader broken for good: the other side is not to be trusted any more.
template <class Message>
class Reader {
 public:
  void append(std::string_view bytes) { pending_.append(bytes); }
  // The next whole message, or nothing until more bytes arrive (or for good once broken).
  std::optional<Message> next();
  bool broken() const { return broken_; }

 private:
  std::string pending_;
  bool broken_ = false;
};

using CommandReader = Reader<Command>;
using EventReader = Reader<Event>;

}  // namespace pelvaro::window_protocol
