#include <gtest/gtest.h>

#include <memory>

#include "app/analyser_state.h"
#include "display/trace.h"

namespace quorvane {
namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReferenceStartValues(*state);
    std::string rate;
    Long bytes = 0;
    SetAnalysisStartValues(*state, rate, bytes);
  }
  void Map() { CalcTrace(state->BinCount(), state->Axis(), state->dblLevel, x(), y()); }
  BinArray& x() { return state->dblTraceX; }
  BinArray& y() { return state->dblTraceY; }
  Long MarkerIndex() {
    for (Long i = 0; i <= 8193; ++i) {
      if (x()[i] == kTraceEndMarker) return i;
    }
    return -1;
  }

  std::unique_ptr<AnalyserState> state = std::make_unique<AnalyserState>();
};

TEST_F(TraceTest, AxisOf270To2700HzTakesBins101To1003) {
  Map();
  EXPECT_EQ(MarkerIndex(), 903);
  // Bin 101 is 271.856689453125 Hz, bin 1003 2699.725341796875 Hz; bin 100 (269.17 Hz) and
  // bin 1004 (2702.42 Hz) fall off the axis.
  EXPECT_NEAR(x()[0], 0.76407, 1e-5);
  EXPECT_NEAR(x()[902], 999.88697, 1e-5);
  for (Long i = 1; i <= 902; ++i) {
    ASSERT_GT(x()[i], x()[i - 1]) << i;
    EXPECT_NEAR(x()[i] - x()[i - 1], 1000 * 2.691650390625 / 2430, 1e-4);
  }
}

TEST_F(TraceTest, LevelsMapBelowTheReferenceAndClip) {
  // Reference 30 dB and 10 dB a division: the grid spans 80 dB (y 0) down to 0 dB (y 1000).
  const struct {
    double level, y;
  } cases[] = {{80, 0}, {0, 1000}, {84, -50}, {90, -50}, {-20, 1000}, {70, 125}, {45, 437.5}};
  for (const auto& c : cases) {
    state->dblLevel.Fill(c.level);
    Map();
    for (Long i = 0; i < 903; ++i) ASSERT_EQ(y()[i], c.y) << c.level << " at " << i;
  }
}

TEST_F(TraceTest, AxisEdgeCases) {
  // Stop not above start: nothing is written.
  x().Fill(-1);
  state->strFreqStop = "270";
  Map();
  EXPECT_EQ(MarkerIndex(), -1);
  EXPECT_EQ(x()[0], -1);

  // No bin between 270 and 271 Hz: slot 0 holds the last bin below the axis at x = 0.
  state->strFreqStop = "271";
  Map();
  EXPECT_EQ(MarkerIndex(), 1);
  EXPECT_EQ(x()[0], 0);

  // A stop beyond half the sample rate: every bin up to 4096 is a point.
  state->strFreqStop = "20000";
  Map();
  EXPECT_EQ(MarkerIndex(), 4096 - 101 + 1);

  // Bins exactly on start and stop are points at x = 0 and x = 1000.
  state->strFreqStart = "269.1650390625";  // bin 100
  state->strFreqStop = "538.330078125";    // bin 200
  Map();
  EXPECT_EQ(MarkerIndex(), 101);
  EXPECT_EQ(x()[0], 0);
  EXPECT_EQ(x()[100], 1000);

  // An axis wholly below 0 Hz: an empty trace, not the points of an earlier mapping.
  x().Fill(500);
  state->strFreqStart = "-300";
  state->strFreqStop = "-100";
  Map();
  EXPECT_EQ(MarkerIndex(), 1);
}

TEST_F(TraceTest, FaultsEndTheMapping) {
  state->sngDbPerDiv = 0;
  EXPECT_THROW(Map(), RuntimeError);
  state->sngDbPerDiv = 10;
  state->strFreqStop = "30000";
  EXPECT_NO_THROW(CalcTrace(8192, state->Axis(), state->dblLevel, x(), y()));
  EXPECT_THROW(CalcTrace(8194, state->Axis(), state->dblLevel, x(), y()), RuntimeError)
      << "bin 8194 lies beyond the level array";
}

}  // namespace
}  // namespace quorvane
