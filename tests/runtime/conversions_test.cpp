#include "runtime/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "runtime/runtime_error.h"
#include "support/error_number.h"

namespace pelvaro {
namespace {

struct NumberCase {
  std::u16string text;
  double expected;
};

TEST(ReadNumber, ReadsTheNumberAtTheStartOfATextAndStopsWhereItEnds) {
  const NumberCase cases[] = {
      {u"3", 3},      {u" 7", 7},  {u"\t\n 7", 7}, {u"7x", 7},      {u"KAPALI", 0}, {u"", 0},
      {u"-2", -2},    {u"+4", 4},  {u"2.5", 2.5},  {u".5", 0.5},    {u"5.", 5},     {u"1e3", 1000},
      {u"2E-1", 0.2}, {u"1e", 1},  {u"1e+", 1},    {u"1ex", 1},     {u"-", 0},      {u".", 0},
      {u"+.", 0},     {u"1 2", 1}, {u"1,5", 1},    {u"3.5.1", 3.5}, {u"--3", 0},    {u"\r3", 0},
      {u"\u0663", 0}, {u"007", 7}, {u"-0", 0},     {u"25", 25},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(read_number(text), expected) << std::string(text.begin(), text.end());
  }
  // Whole numbers of every length, leading zeros and all.
  EXPECT_EQ(read_number(u"999999999"), 999999999);
  EXPECT_EQ(read_number(u"1234567890"), 1234567890);
  EXPECT_EQ(read_number(u"00000000003"), 3);
}

TEST(ReadNumber, NumbersBeyondADoubleReadAsInfiniteOrZero) {
  EXPECT_EQ(read_number(u"1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(read_number(u"-1e400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(read_number(std::u16string(400, u'9')), std::numeric_limits<double>::infinity());
  EXPECT_EQ(read_number(u"1e99999999999999999999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(read_number(u"1e-400"), 0.0);
  EXPECT_EQ(read_number(u"1e-99999999999999999999"), 0.0);
  EXPECT_EQ(read_number(u"0." + std::u16string(400, u'0') + u"1"), 0.0);
  EXPECT_EQ(read_number(std::u16string(400, u'1') + u"e-10"),
            std::numeric_limits<double>::infinity());
}

TEST(ToInt16, RoundsHalvesToTheEvenNeighbour) {
  EXPECT_EQ(to_int16(2.5), 2);
  EXPECT_EQ(to_int16(3.5), 4);
  EXPECT_EQ(to_int16(0.5), 0);
  EXPECT_EQ(to_int16(1.5), 2);
  EXPECT_EQ(to_int16(-2.5), -2);
  EXPECT_EQ(to_int16(-3.5), -4);
  EXPECT_EQ(to_int16(2.4999), 2);
  EXPECT_EQ(to_int16(2.5001), 3);
  EXPECT_EQ(to_int16(-0.4), 0);
}

TEST(ToInt16, OverflowsOutsideTheSixteenBitRange) {
  EXPECT_EQ(to_int16(32767), 32767);
  EXPECT_EQ(to_int16(32767.4), 32767);
  EXPECT_EQ(to_int16(-32768), -32768);
  EXPECT_EQ(to_int16(-32768.5), -32768);  // the even neighbour is still in range
  for (double value :
       {32767.5, 32768.0, 40000.0, -32768.6, -32769.0, 1e300,
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_EQ(testing::error_number_of([&] { to_int16(value); }), ErrorNumber::overflow) << value;
  }
}

}  // namespace
}  // namespace pelvaro
