#include "serial/comm_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/runtime_error.h"
#include "support/error_number.h"

namespace pelvaro {
namespace {

// What the control did to the ports it opened. Real ports cannot be made to fail a write or a
// drain on demand, so these fakes stand in for them here.
struct PortLog {
  std::vector<std::pair<int, LineSettings>> opens;
  std::string written;
  int closes = 0;
  bool fail_write = false;
  bool fail_drain = false;
};

class FakePort final : public SerialPort {
 public:
  explicit FakePort(PortLog& log) : log_(log) {}
  void write(std::span<const std::byte> bytes) override {
    if (log_.fail_write) throw RuntimeError{ErrorNumber::write_failed};
    for (std::byte b : bytes) log_.written += static_cast<char>(b);
  }
  void drain_and_close() override {
    ++log_.closes;
    if (log_.fail_drain) throw RuntimeError{ErrorNumber::output_not_drained};
  }

 private:
  PortLog& log_;
};

class CommControlTest : public ::testing::Test {
 protected:
  CommControl control{[this](int port, const LineSettings& settings) {
    log.opens.emplace_back(port, settings);
    return std::make_unique<FakePort>(log);
  }};
  PortLog log;

  std::optional<ErrorNumber> failure_of(int dispid, const Variant& value) {
    return testing::error_number_of([&] { control.put_property(dispid, value); });
  }

  void open_port(std::int16_t number) {
    control.put_property(comm_dispid::CommPort, number);
    control.put_property(comm_dispid::PortOpen, true);
  }
};

TEST_F(CommControlTest, SendsTheSignalOnTheChosenPortAtTheChosenSettings) {
  control.put_property(comm_dispid::CommPort, std::int16_t{3});
  control.put_property(comm_dispid::Settings, std::u16string{u"9600,N,8,1"});
  control.put_property(comm_dispid::PortOpen, true);
  control.put_property(comm_dispid::Output, std::u16string{u"a"});
  control.put_property(comm_dispid::PortOpen, false);

  ASSERT_EQ(log.opens.size(), 1u);
  EXPECT_EQ(log.opens[0].first, 3);
  EXPECT_EQ(log.opens[0].second, (LineSettings{9600, Parity::none, 8, StopBits::one}));
  EXPECT_EQ(log.written, "a");
  EXPECT_EQ(log.closes, 1);
  EXPECT_FALSE(control.port_open());
}

TEST_F(CommControlTest, WithoutAValidPortNumberNothingIsOpened) {
  EXPECT_EQ(failure_of(comm_dispid::PortOpen, true), ErrorNumber::invalid_port_number);
  for (std::int16_t refused : {0, -1, 256, 32767}) {
    EXPECT_EQ(failure_of(comm_dispid::CommPort, refused), ErrorNumber::invalid_port_number);
  }
  EXPECT_EQ(failure_of(comm_dispid::PortOpen, true), ErrorNumber::invalid_port_number);
  EXPECT_TRUE(log.opens.empty());

  control.put_property(comm_dispid::CommPort, std::int16_t{255});
  EXPECT_EQ(control.comm_port(), 255);
  control.put_property(comm_dispid::CommPort, std::int16_t{1});
  EXPECT_EQ(control.comm_port(), 1);
}

TEST_F(CommControlTest, ARefusedPortNumberKeepsTheEarlierOne) {
  control.put_property(comm_dispid::CommPort, std::int16_t{4});
  EXPECT_EQ(failure_of(comm_dispid::CommPort, std::int16_t{0}), ErrorNumber::invalid_port_number);
  EXPECT_EQ(control.comm_port(), 4);
}

TEST_F(CommControlTest, OutputNeedsAnOpenPortAndClosingAClosedPortIsHarmless) {
  EXPECT_EQ(failure_of(comm_dispid::Output, std::u16string{u"a"}), ErrorNumber::port_not_open);
  control.put_property(comm_dispid::PortOpen, false);
  EXPECT_EQ(log.closes, 0);
  EXPECT_TRUE(log.written.empty());
}

TEST_F(CommControlTest, AnOpenPortCannotBeOpenedAgainOrRenumbered) {
  open_port(2);
  EXPECT_EQ(failure_of(comm_dispid::PortOpen, true), ErrorNumber::port_already_open);
  EXPECT_EQ(failure_of(comm_dispid::CommPort, std::int16_t{5}), ErrorNumber::port_already_open);
  EXPECT_EQ(log.opens.size(), 1u);
  EXPECT_EQ(control.comm_port(), 2);
}

TEST_F(CommControlTest, AFailedDrainStillReleasesThePort) {
  open_port(2);
  log.fail_drain = true;
  EXPECT_EQ(failure_of(comm_dispid::PortOpen, false), ErrorNumber::output_not_drained);
  EXPECT_FALSE(control.port_open());
  log.fail_drain = false;
  control.put_property(comm_dispid::PortOpen, true);
  EXPECT_EQ(log.opens.size(), 2u);
}

TEST_F(CommControlTest, AFailedWriteLeavesThePortOpenForTheClose) {
  open_port(2);
  log.fail_write = true;
  EXPECT_EQ(failure_of(comm_dispid::Output, std::u16string{u"a"}), ErrorNumber::write_failed);
  EXPECT_TRUE(control.port_open());
  control.put_property(comm_dispid::PortOpen, false);
  EXPECT_EQ(log.closes, 1);
}

TEST_F(CommControlTest, ValuesOfTheWrongTypeAreRefused) {
  EXPECT_EQ(failure_of(comm_dispid::CommPort, std::u16string{u"3"}), ErrorNumber::type_mismatch);
  EXPECT_EQ(failure_of(comm_dispid::PortOpen, std::int16_t{1}), ErrorNumber::type_mismatch);
  EXPECT_EQ(failure_of(comm_dispid::Output, true), ErrorNumber::type_mismatch);
  EXPECT_EQ(failure_of(comm_dispid::Settings, std::int16_t{9600}), ErrorNumber::type_mismatch);
  EXPECT_EQ(failure_of(99, true), ErrorNumber::internal_error);
}

TEST_F(CommControlTest, SettingsTakeEffectAtTheNextOpenAndBadOnesChangeNothing) {
  control.put_property(comm_dispid::Settings, std::u16string{u"19200,e,7,2"});
  EXPECT_EQ(failure_of(comm_dispid::Settings, std::u16string{u"9600,N,9,1"}),
            ErrorNumber::invalid_property_value);
  open_port(1);
  EXPECT_EQ(log.opens.at(0).second, (LineSettings{19200, Parity::even, 7, StopBits::two}));
}

TEST(ParseLineSettings, TakesTheUsualForm) {
  EXPECT_EQ(parse_line_settings(u"9600,N,8,1"),
            (LineSettings{9600, Parity::none, 8, StopBits::one}));
  EXPECT_EQ(parse_line_settings(u"300,O,5,1.5"),
            (LineSettings{300, Parity::odd, 5, StopBits::one_and_a_half}));
  EXPECT_EQ(parse_line_settings(u"115200,M,6,2"),
            (LineSettings{115200, Parity::mark, 6, StopBits::two}));
  EXPECT_EQ(parse_line_settings(u"1200,s,7,1"),
            (LineSettings{1200, Parity::space, 7, StopBits::one}));
}

TEST(ParseLineSettings, RefusesEverythingElse) {
  for (const std::u16string text :
       {u"", u"9600", u"9600,N,8", u"9600,N,8,1,", u"9600,X,8,1", u"9600,N,4,1", u"9600,N,9,1",
        u"9600,N,8,3", u"9600,N,8,1.5", u"0,N,8,1", u"-9600,N,8,1", u"9600 ,N,8,1", u"9600,NN,8,1",
        u"96k,N,8,1", u"99999999999,N,8,1", u"9600,N,8,0"}) {
    EXPECT_EQ(testing::error_number_of([&] { parse_line_settings(text); }),
              ErrorNumber::invalid_property_value)
        << std::string(text.begin(), text.end());
  }
}

}  // namespace
}  // namespace pelvaro
