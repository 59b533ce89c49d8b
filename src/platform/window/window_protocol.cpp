#include "platform/window/window_protocol.h"

namespace pelvaro::window_protocol {

namespace {

enum class CommandKind : std::uint8_t { show = 1, report = 2 };

class Writer {
 public:
  void byte(std::uint8_t value) { body_.push_back(static_cast<char>(value)); }
  void number(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) byte(static_cast<std::uint8_t>(bits >> shift));
  }
  void text(std::string_view value) {
    number(static_cast<std::int32_t>(value.size()));
    body_.append(value);
  }
  // The body with its length in front.
  std::string framed() const {
    Writer frame;
    frame.number(static_cast<std::int32_t>(body_.size()));
    return frame.body_ + body_;
  }

 private:
  std::string body_;
};

// Reads the fields of one message body; any read past its end fails the whole message.
class Fields {
 public:
  explicit Fields(std::string_view body) : body_(body) {}

  std::uint8_t byte() {
    if (!has(1)) return 0;
    return static_cast<std::uint8_t>(body_[at_++]);
  }
  std::int32_t number() {
    if (!has(4)) return 0;
    std::uint32_t bits = 0;
    for (int shift = 0; shift < 32; shift += 8) {
      bits |= std::uint32_t{static_cast<std::uint8_t>(body_[at_++])} << shift;
    }
    return static_cast<std::int32_t>(bits);
  }
  std::string text() {
    const std::int32_t size = number();
    if (size < 0 || !has(static_cast<std::size_t>(size))) return {};
    std::string value{body_.substr(at_, static_cast<std::size_t>(size))};
    at_ += static_cast<std::size_t>(size);
    return value;
  }
  // A count of items that each take at least `item_size` bytes, or -1 if the body cannot hold it.
  int count(std::size_t item_size) {
    const std::int32_t value = number();
    if (value < 0 || static_cast<std::size_t>(value) * item_size > body_.size() - at_) {
      failed_ = true;
      return -1;
    }
    return value;
  }
  // Whether every field was there and nothing is left over.
  bool complete() const { return !failed_ && at_ == body_.size(); }

 private:
  bool has(std::size_t size) {
    if (body_.size() - at_ < size) failed_ = true;
    return !failed_;
  }

  std::string_view body_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

void write_window(Writer& out, const ShownWindow& window) {
  out.text(window.caption);
  out.number(window.client_width);
  out.number(window.client_height);
  out.number(static_cast<std::int32_t>(window.controls.size()));
  for (const ShownControl& control : window.controls) {
    out.byte(static_cast<std::uint8_t>(control.kind));
    out.number(control.left);
    out.number(control.top);
    out.number(control.width);
    out.number(control.height);
    out.text(control.caption);
  }
  out.number(static_cast<std::int32_t>(window.list_choices.size()));
  for (const std::string& choice : window.list_choices) out.text(choice);
  out.number(window.selected_choice);
}

bool valid_kind(std::uint8_t kind) {
  return kind <= static_cast<std::uint8_t>(ControlKind::serial_port);
}

std::optional<ShownWindow> read_window(Fields& in) {
  ShownWindow window;
  window.caption = in.text();
  window.client_width = in.number();
  window.client_height = in.number();
  const int controls = in.count(21);  // a kind, four numbers and a text's length
  for (int i = 0; i < controls; ++i) {
    ShownControl control;
    const std::uint8_t kind = in.byte();
    if (!valid_kind(kind)) return std::nullopt;
    control.kind = static_cast<ControlKind>(kind);
    control.left = in.number();
    control.top = in.number();
    control.width = in.number();
    control.height = in.number();
    control.caption = in.text();
    window.controls.push_back(std::move(control));
  }
  const int choices = in.count(4);
  for (int i = 0; i < choices; ++i) window.list_choices.push_back(in.text());
  window.selected_choice = in.number();
  if (window.selected_choice < -1 ||
      window.selected_choice >= static_cast<int>(window.list_choices.size())) {
    return std::nullopt;
  }
  return window;
}

std::optional<Command> decode_command(std::string_view body) {
  Fields in{body};
  std::optional<Command> command;
  switch (static_cast<CommandKind>(in.byte())) {
    case CommandKind::show:
      if (auto window = read_window(in)) command = Show{std::move(*window)};
      break;
    case CommandKind::report:
      command = Report{in.text()};
      break;
  }
  if (!in.complete()) return std::nullopt;
  return command;
}

std::optional<Event> decode_event(std::string_view body) {
  Fields in{body};
  const std::uint8_t kind = in.byte();
  const std::int32_t index = in.number();
  if (!in.complete() || kind < static_cast<std::uint8_t>(EventKind::active) ||
      kind > static_cast<std::uint8_t>(EventKind::alive) || index < 0) {
    return std::nullopt;
  }
  return Event{static_cast<EventKind>(kind), index};
}

std::optional<Command> decode(std::string_view body, const Command*) {
  return decode_command(body);
}
std::optional<Event> decode(std::string_view body, const Event*) {
  return decode_event(body);
}

}  // namespace

std::string encode(const Command& command) {
  Writer out;
  if (const auto* show = std::get_if<Show>(&command)) {
    out.byte(static_cast<std::uint8_t>(CommandKind::show));
    write_window(out, show->window);
  } else {
    out.byte(static_cast<std::uint8_t>(CommandKind::report));
    out.text(std::get<Report>(command).text);
  }
  return out.framed();
}

std::string encode(const Event& event) {
  Writer out;
  out.byte(static_cast<std::uint8_t>(event.kind));
  out.number(event.index);
  return out.framed();
}

template <class Message>
std::optional<Message> Reader<Message>::next() {
  if (broken_ || pending_.size() < 4) return std::nullopt;
  const auto size = static_cast<std::uint32_t>(Fields{pending_}.number());
  if (size > message_limit) {
    broken_ = true;
    return std::nullopt;
  }
  if (pending_.size() - 4 < size) return std::nullopt;
  std::optional<Message> message =
      decode(std::string_view{pending_}.substr(4, size), static_cast<const Message*>(nullptr));
  pending_.erase(0, 4 + size);
  if (!message) broken_ = true;
  return message;
}

template class Reader<Command>;
template class Reader<Event>;

}  // namespace pelvaro::window_protocol
