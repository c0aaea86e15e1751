#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/fixed_array.h"
#include "common/numeric.h"
#include "common/text.h"
#include "tests/raises.h"

namespace quorvane {
namespace {

using Kind = RuntimeError::Kind;
using test::Raised;

TEST(Rounding, TiesGoToEvenAndTheTypeEdgesOverflow) {
  const std::pair<double, Integer> ints[] = {{0.5, 0},          {1.5, 2},   {2.5, 2},
                                             {-2.5, -2},        {-3.5, -4}, {32767.4, 32767},
                                             {-32768.5, -32768}};  // the even edge still fits
  for (auto [value, rounded] : ints) EXPECT_EQ(CInt(value), rounded) << value;
  EXPECT_EQ(CLng(8191.5), 8192);
  EXPECT_EQ(CLng(2.4999999), 2);
  EXPECT_EQ(CLng(2147483647.0), std::numeric_limits<Long>::max());
  for (double bad : {32767.5, -32768.6, double(INFINITY)}) {
    EXPECT_EQ(Raised([=] { CInt(bad); }), Kind::Overflow) << bad;
  }
  EXPECT_EQ(Raised([] { CLng(2147483647.5); }), Kind::Overflow);
  EXPECT_EQ(Raised([] { CLng(std::nan("")); }), Kind::Overflow);
}

TEST(CheckedArithmetic, OverflowBoundsAndNonFiniteValuesAreRunTimeErrors) {
  EXPECT_EQ(CheckedAdd<Integer>(32766, 1), 32767);
  EXPECT_EQ(Raised([] { CheckedAdd<Integer>(32767, 1); }), Kind::Overflow);
  EXPECT_EQ(Raised([] { CheckedSub<Integer>(-32768, 1); }), Kind::Overflow);
  EXPECT_EQ(Raised([] { CheckedMul<Long>(65536, 32768); }), Kind::Overflow);
  FixedArray<double, 3> values;  // indices 0..3, zero-filled
  values[3] = 7;
  EXPECT_EQ(values[0] + values[3], 7.0);
  EXPECT_EQ(Raised([&] { values[4] = 1; }), Kind::SubscriptOutOfRange);
  EXPECT_EQ(Raised([&] { (void)values[-1]; }), Kind::SubscriptOutOfRange);
  EXPECT_EQ(Raised([] { CheckFinite(1.0 / std::sqrt(0.0), "x"); }), Kind::FloatingPoint);
  EXPECT_EQ(Int(-12.3), -13);  // floor, not truncation
}

TEST(Val, ReadsTheLeadingNumberOnly) {
  const std::pair<const char*, double> cases[] = {
      {"-13 dB anl", -13}, {"0", 0},    {"Label1", 0}, {"", 0},       {"  270", 270},
      {"+12.5Hz", 12.5},   {".5", 0.5}, {"-", 0},      {"1.2.3", 1.2}};
  for (auto [text, value] : cases) EXPECT_EQ(Val(text), value) << text;
}

TEST(NumberText, ShortestFormUpToSevenDigits) {
  const std::pair<float, const char*> cases[] = {
      {30, "30"},        {-13, "-13"},     {0.5f, "0.5"},
      {20.19f, "20.19"}, {0.1f, "0.1"},    {1.0f / 3, "0.3333333"},
      {-0.0f, "0"},      {11017, "11017"}, {1e7f, "1E+07"}};
  for (auto [value, text] : cases) EXPECT_EQ(NumberText(value), text) << value;
}

}  // namespace
}  // namespace quorvane
