#include "app/main_window.h"

#include <array>
#include <utility>

#include "runtime/error_policy.h"
#include "serial/send_sequence.h"
#include "settings/profile.h"
#include "settings/spelling.h"

namespace pelvaro {

namespace {

constexpr std::u16string_view settings_section = u"ayar";
constexpr std::u16string_view settings_key = u"com";

constexpr std::array<std::u16string_view, 26> port_choices{
    u"KAPALI", u"1",  u"2",  u"3",  u"4",  u"5",  u"6",  u"7",  u"8",  u"9",  u"10", u"11", u"12",
    u"13",     u"14", u"15", u"16", u"17", u"18", u"19", u"20", u"21", u"22", u"23", u"24", u"25"};

constexpr std::array<ControlDescription, 3> frovan_controls{{
    {"Command1", ControlKind::command_button, 600, 480, 1095, 375, u"Command1"},
    {"com", ControlKind::drop_down_list, 0, 0, 855, 315, {}},
    {"MSComm1", ControlKind::serial_port, 0, 0, 0, 0, {}},
}};

constexpr WindowDescription description_of_frovan{u"Form1", 3450, 1035, frovan_controls,
                                                  port_choices};

}  // namespace

const WindowDescription& frovan_description() {
  return description_of_frovan;
}

frovan::frovan(Application app, std::unique_ptr<Dispatch> comm_control)
    : com(port_choices), MSComm1(std::move(comm_control)), App(std::move(app)) {}

void frovan::Form_Load() {
  const std::u16string file = settings_path(App.Path(), App.path_separator);
  const std::u16string value = ReadProfileValue(settings_section, settings_key, file);
  // The switched-off choice is a Turkish word: its Turkish spellings and encodings select it too.
  const std::u16string_view switched_off = port_choices.front();
  try {
    com.set_text(spells_choice(value, switched_off) ? switched_off : std::u16string_view{value});
  } catch (const RuntimeError& refused) {
    // Only now is it worth finding out what is wrong with the settings file.
    throw unusable_setting(refused.number(), settings_section, settings_key, file, value,
                           com.choices());
  }
}

void frovan::Form_Activate() {
  ErrorTrap trap{ErrorPolicy::resume_next};
  run_send_sequence(com, *MSComm1, trap);
  if (!trap.dropped_any()) return End(ExitStatus::success);
  // The first choice switches sending off: it names no port.
  End(com.selected_index() == 0 ? ExitStatus::switched_off : ExitStatus::failure_dropped);
}

void frovan::Click(std::string_view control_name) {
  if (control_name == "Command1") Command1_Click();
}

void frovan::Command1_Click() {
  ErrorTrap trap{ErrorPolicy::propagate};
  run_send_sequence(com, *MSComm1, trap);
}

}  // namespace pelvaro
