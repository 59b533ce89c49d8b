#include "serial/send_sequence.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "serial/comm_control.h"
#include "support/error_number.h"
#include "support/recording_control.h"

namespace pelvaro {
namespace {

using testing::RecordingControl;

constexpr std::array<std::u16string_view, 5> choices{u"KAPALI", u"3", u"25", u"2.5", u"40000"};

ComboBox selector_showing(std::u16string_view text) {
  ComboBox com{choices};
  com.set_text(text);
  return com;
}

TEST(SendSequence, AssignsPortLineOpenSignalAndCloseInOrderWithTheirTypes) {
  const ComboBox com = selector_showing(u"3");
  RecordingControl control;
  ErrorTrap trap{ErrorPolicy::propagate};
  run_send_sequence(com, control, trap);

  ASSERT_EQ(control.assignments.size(), 5u);
  const auto& a = control.assignments;
  EXPECT_EQ(a[0].dispid, comm_dispid::CommPort);
  EXPECT_EQ(std::get<std::int16_t>(a[0].value), 3);
  EXPECT_EQ(a[1].dispid, comm_dispid::Settings);
  EXPECT_EQ(std::get<std::u16string>(a[1].value), u"9600,N,8,1");
  EXPECT_EQ(a[2].dispid, comm_dispid::PortOpen);
  EXPECT_EQ(std::get<bool>(a[2].value), true);
  EXPECT_EQ(a[3].dispid, comm_dispid::Output);
  EXPECT_EQ(std::get<std::u16string>(a[3].value), u"a");
  EXPECT_EQ(a[4].dispid, comm_dispid::PortOpen);
  EXPECT_EQ(std::get<bool>(a[4].value), false);
  EXPECT_FALSE(trap.dropped_any());
}

TEST(SendSequence, PortNumberFollowsTheSelection) {
  const std::pair<std::u16string_view, std::int16_t> cases[] = {
      {u"KAPALI", 0}, {u"25", 25}, {u"2.5", 2}};
  for (const auto& [selection, expected] : cases) {
    RecordingControl control;
    ErrorTrap trap{ErrorPolicy::propagate};
    run_send_sequence(selector_showing(selection), control, trap);
    EXPECT_EQ(std::get<std::int16_t>(control.assignments.at(0).value), expected);
  }
  RecordingControl control;
  ErrorTrap trap{ErrorPolicy::propagate};
  run_send_sequence(ComboBox{choices}, control, trap);  // nothing selected: the empty text
  EXPECT_EQ(std::get<std::int16_t>(control.assignments.at(0).value), 0);
}

TEST(SendSequence, UnderResumeNextEveryStatementRunsWhicheverFails) {
  for (int failing = 1; failing <= 5; ++failing) {
    RecordingControl control{failing};
    ErrorTrap trap{ErrorPolicy::resume_next};
    run_send_sequence(selector_showing(u"3"), control, trap);
    EXPECT_EQ(control.assignments.size(), 5u) << "failing statement " << failing;
    ASSERT_TRUE(trap.dropped_any());
    EXPECT_EQ(trap.first_dropped()->number(), ErrorNumber::device_unavailable);
  }
}

TEST(SendSequence, UnderPropagateTheFirstFailureStopsTheSequence) {
  for (int failing = 1; failing <= 5; ++failing) {
    RecordingControl control{failing, ErrorNumber::port_in_use};
    ErrorTrap trap{ErrorPolicy::propagate};
    EXPECT_EQ(
        testing::error_number_of([&] { run_send_sequence(selector_showing(u"3"), control, trap); }),
        ErrorNumber::port_in_use)
        << "statement " << failing;
    EXPECT_EQ(control.assignments.size(), static_cast<std::size_t>(failing));
  }
}

TEST(SendSequence, AnOverflowingSelectionNeverReachesTheControlAsAPort) {
  RecordingControl control;
  ErrorTrap resume{ErrorPolicy::resume_next};
  run_send_sequence(selector_showing(u"40000"), control, resume);
  ASSERT_EQ(control.assignments.size(), 4u);  // statement 1 failed before it assigned
  EXPECT_EQ(control.assignments[0].dispid, comm_dispid::Settings);
  EXPECT_EQ(resume.first_dropped()->number(), ErrorNumber::overflow);

  RecordingControl untouched;
  ErrorTrap propagate{ErrorPolicy::propagate};
  EXPECT_THROW(run_send_sequence(selector_showing(u"40000"), untouched, propagate), RuntimeError);
  EXPECT_TRUE(untouched.assignments.empty());
}

TEST(PortNumber, ConvertsEachSelectionTheWayTheUserMeansIt) {
  EXPECT_EQ(port_number(u"3"), 3);
  EXPECT_EQ(port_number(u"25"), 25);
  EXPECT_EQ(port_number(u"KAPALI"), 0);
  EXPECT_EQ(port_number(u""), 0);
  EXPECT_EQ(port_number(u"2.5"), 2);
  EXPECT_EQ(port_number(u"3.5"), 4);
  EXPECT_EQ(testing::error_number_of([] { port_number(u"40000"); }), ErrorNumber::overflow);
}

}  // namespace
}  // namespace pelvaro
