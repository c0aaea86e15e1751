#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/fixed_array.h"
#include "common/numeric.h"
#include "common/text.h"

namespace quorvane {
namespace {

using Kind = RuntimeError::Kind;

template <typename F>
Kind KindRaisedBy(F&& action) {
  try {
    action();
  } catch (const RuntimeError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no run-time error raised";
  return Kind::FloatingPoint;
}

TEST(Rounding, TiesGoToEven) {
  EXPECT_EQ(CInt(0.5), 0);
  EXPECT_EQ(CInt(1.5), 2);
  EXPECT_EQ(CInt(2.5), 2);
  EXPECT_EQ(CInt(-2.5), -2);
  EXPECT_EQ(CInt(-3.5), -4);
  EXPECT_EQ(CLng(8191.5), 8192);
  EXPECT_EQ(CLng(2.4999999), 2);
}

TEST(Rounding, OverflowAtTheTypeEdges) {
  EXPECT_EQ(CInt(32767.4), 32767);
  EXPECT_EQ(CInt(-32768.5), -32768);  // the tie rounds to the even edge, which still fits
  EXPECT_EQ(KindRaisedBy([] { CInt(32767.5); }), Kind::Overflow);
  EXPECT_EQ(KindRaisedBy([] { CInt(-32768.6); }), Kind::Overflow);
  EXPECT_EQ(CLng(2147483647.0), std::numeric_limits<Long>::max());
  EXPECT_EQ(KindRaisedBy([] { CLng(2147483647.5); }), Kind::Overflow);
  EXPECT_EQ(KindRaisedBy([] { CLng(std::nan("")); }), Kind::Overflow);
  EXPECT_EQ(KindRaisedBy([] { CInt(INFINITY); }), Kind::Overflow);
}

TEST(CheckedArithmetic, RaisesInsteadOfWrapping) {
  EXPECT_EQ(CheckedAdd<Integer>(32766, 1), 32767);
  EXPECT_EQ(KindRaisedBy([] { CheckedAdd<Integer>(32767, 1); }), Kind::Overflow);
  EXPECT_EQ(KindRaisedBy([] { CheckedSub<Integer>(-32768, 1); }), Kind::Overflow);
  EXPECT_EQ(KindRaisedBy([] { CheckedMul<Integer>(16, 2048); }), Kind::Overflow);
  EXPECT_EQ(CheckedMul<Long>(2, 8192), 16384);
  EXPECT_EQ(KindRaisedBy([] { CheckedMul<Long>(65536, 32768); }), Kind::Overflow);
}

TEST(FixedArray, EveryIndexIsCheckedAgainstBothBounds) {
  FixedArray<double, 3> values;
  values[3] = 7;
  EXPECT_EQ(values[0], 0.0);  // created zero-filled
  EXPECT_EQ(values[3], 7.0);
  EXPECT_EQ(KindRaisedBy([&] { values[4] = 1; }), Kind::SubscriptOutOfRange);
  EXPECT_EQ(KindRaisedBy([&] { (void)values[-1]; }), Kind::SubscriptOutOfRange);
}

TEST(FloorAndFiniteness, IntIsFloor) {
  EXPECT_EQ(Int(12.7), 12);
  EXPECT_EQ(Int(-12.3), -13);
  EXPECT_EQ(Int(-0.5), -1);
  EXPECT_EQ(KindRaisedBy([] { CheckFinite(1.0 / std::sqrt(0.0), "x"); }), Kind::FloatingPoint);
}

TEST(Val, ReadsTheLeadingNumberOnly) {
  EXPECT_EQ(Val("-13 dB anl"), -13);
  EXPECT_EQ(Val("0"), 0);
  EXPECT_EQ(Val("Label1"), 0);
  EXPECT_EQ(Val(""), 0);
  EXPECT_EQ(Val("  270"), 270);
  EXPECT_EQ(Val("2700"), 2700);
  EXPECT_EQ(Val("+12.5Hz"), 12.5);
  EXPECT_EQ(Val(".5"), 0.5);
  EXPECT_EQ(Val("-"), 0);
  EXPECT_EQ(Val("12 dB anl"), 12);
  EXPECT_EQ(Val("1.2.3"), 1.2);
}

TEST(NumberText, ShortestFormUpToSevenDigits) {
  EXPECT_EQ(NumberText(30), "30");
  EXPECT_EQ(NumberText(-13), "-13");
  EXPECT_EQ(NumberText(0.5f), "0.5");
  EXPECT_EQ(NumberText(20.19f), "20.19");
  EXPECT_EQ(NumberText(-140), "-140");
  EXPECT_EQ(NumberText(0.1f), "0.1");
  EXPECT_EQ(NumberText(1.0f / 3), "0.3333333");
  EXPECT_EQ(NumberText(-0.0f), "0");
  EXPECT_EQ(NumberText(11017), "11017");
  EXPECT_EQ(NumberText(1e7f), "1E+07");
}

}  // namespace
}  // namespace quorvane
