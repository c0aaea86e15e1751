#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "app/analyser_state.h"
#include "dsp/levels.h"
#include "tests/raises.h"

namespace quorvane {
namespace {

class AnalysisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReferenceStartValues(*state);
    std::string rate;
    Long bytes = 0;
    SetAnalysisStartValues(*state, rate, bytes);
  }
  void Pass() {
    LevelPass(state->dblFFTSize, state->dblReal, state->dblImag, state->dblLevel, state->sngMax,
              state->intPeakFreq, state->sngNoise);
  }
  // Puts a spectrum line of the given level (dB re magnitude 1) at a bin.
  void SetBinLevel(Long bin, double db) {
    state->dblReal[bin] = std::pow(10.0, db / 20) - 0.0000001;
    state->dblImag[bin] = 0;
  }

  std::unique_ptr<AnalyserState> state = std::make_unique<AnalyserState>();
};

TEST_F(AnalysisTest, SilenceContributesMinus140AndKeepsGoing) {
  state->intPeakFreq = 1234;  // a spectrum of zeros
  Pass();                     // must not raise: quiet input keeps the display running
  for (int k = 0; k <= 4096; ++k) ASSERT_NEAR(state->dblLevel[k], -14, 1e-12) << k;
  EXPECT_EQ(state->dblLevel[4097], 0);  // bins above N/2 are not part of the pass
  EXPECT_EQ(state->sngNoise, static_cast<float>(state->dblLevel[3296]));
  // No bin above 0 dB: the figure is the formula's limit, -|noise|, and the peak stays.
  EXPECT_EQ(state->sngMax, -std::fabs(state->sngNoise));
  EXPECT_EQ(state->intPeakFreq, 1234);
}

TEST_F(AnalysisTest, SmoothingTakesOneTenthPerBlock) {
  const double expected[] = {6,        11.4,      16.26,      20.634,      24.5706,
                             28.11354, 31.302186, 34.1719674, 36.75477066, 39.079293594};
  for (double level : expected) {
    SetBinLevel(500, 60);
    Pass();
    EXPECT_NEAR(state->dblLevel[500], level, 1e-6);
  }
}

TEST_F(AnalysisTest, PeakBinAndItsFrequency) {
  // 2 x 1.344855 Hz per bin, rounded half to even; deliberately not 22050/8192.
  const std::pair<Long, Integer> readouts[] = {{0, 0},      {1, 3},       {100, 269},   {311, 836},
                                               {372, 1001}, {1584, 4261}, {4096, 11017}};
  for (auto [bin, hz] : readouts) EXPECT_EQ(PeakFrequency(bin), hz) << bin;
  // Equal levels, also when they differ as Doubles but agree as Singles: the lower bin wins.
  SetBinLevel(372, 40);
  SetBinLevel(800, 40);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 1001);
  state->dblLevel.Fill(0);
  SetBinLevel(311, 40);
  SetBinLevel(100, 40 + 1e-9);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 269);
  // Both ends take part: bin 0, then a 200 dB line lifting bin 4096 to 7.4 dB in one block.
  state->dblReal.Fill(0);
  state->dblLevel.Fill(0);
  SetBinLevel(0, 30);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 0);
  SetBinLevel(0, 0);
  SetBinLevel(4096, 200);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 11017);
}

// Seeding the smoothed value with the block's own level keeps it there, so the figure below
// works from known levels.
TEST_F(AnalysisTest, SignalFigureFromStrongestLevelAndNoise) {
  struct Case {
    double strongest, noise, figure;
  };
  for (const Case& c : {Case{60, -50, 20.1888}, Case{1, -50, -50}, Case{0.5, -50, -50.0990},
                        Case{60, 0.0, 70.1888}}) {
    state->dblLevel.Fill(-140);
    state->dblReal.Fill(0);
    state->dblImag.Fill(0);
    state->dblLevel[700] = c.strongest;
    SetBinLevel(700, c.strongest);
    state->dblLevel[3296] = c.noise;
    SetBinLevel(3296, c.noise);
    Pass();
    EXPECT_NEAR(state->sngNoise, c.noise, 1e-5);
    EXPECT_NEAR(state->sngMax, c.figure, 1e-3) << c.strongest << " " << c.noise;
  }
}

TEST_F(AnalysisTest, FaultsEndThePassKeepingWhatWasDone) {
  state->dblReal[10] = std::nan("");
  EXPECT_EQ(test::Raised([&] { Pass(); }), RuntimeError::Kind::FloatingPoint);
  EXPECT_NEAR(state->dblLevel[9], -14, 1e-12);
  EXPECT_EQ(state->dblLevel[11], 0);
  state->dblReal[10] = 0;
  state->dblFFTSize = 32768;  // needs bins up to 16384, beyond the level array
  EXPECT_EQ(test::Raised([&] { Pass(); }), RuntimeError::Kind::SubscriptOutOfRange);
}

}  // namespace
}  // namespace quorvane
