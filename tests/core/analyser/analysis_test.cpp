#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "analyser/analyser_state.h"
#include "common/fixed_sizes.h"
#include "common/text.h"
#include "display/frequency_scale.h"
#include "display/readouts.h"
#include "display/trace.h"
#include "dsp/levels.h"
#include "tests/core/analyser/started_state.h"
#include "tests/raises.h"

namespace quorvane {
namespace {

// The analyser state at its start values, for the level pass and the trace mapping.
class AnalysisTest : public ::testing::Test {
 protected:
  void Pass() {
    LevelPass(state->dblFFTSize, state->dblReal, state->dblImag, state->dblLevel, state->sngMax,
              state->intPeakFreq, state->sngNoise);
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
  // Puts a spectrum line of the given level (dB re magnitude 1) at a bin.
  void SetBinLevel(Long bin, double db) {
    state->dblReal[bin] = std::pow(10.0, db / 20) - 0.0000001;
    state->dblImag[bin] = 0;
  }

  std::unique_ptr<AnalyserState> state = test::StartedState();
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

TEST_F(AnalysisTest, AxisOf270To2700HzTakesBins101To1003) {
  Map();
  EXPECT_EQ(MarkerIndex(), 903);
  // Bin 101 is 271.856689453125 Hz, bin 1003 2699.725341796875 Hz; bin 100 (269.17 Hz) and
  // bin 1004 (2702.42 Hz) fall off the axis.
  EXPECT_NEAR(x()[0], 0.76407, 1e-5);
  EXPECT_NEAR(x()[902], 999.88697, 1e-5);
  // Evenly spaced, rising: one bin is 2.69 Hz of the 2430 Hz that 1000 units span.
  for (Long i = 1; i <= 902; ++i) EXPECT_NEAR(x()[i] - x()[i - 1], 1000 * 2.6916504 / 2430, 1e-4);
}

// The wide view's mapping: bins 8 (21.53 Hz) to 4096 (11025 Hz) in octaves from 20 Hz, the
// levels placed as the band's are; an axis that no bin reaches leaves the marker at 1.
TEST_F(AnalysisTest, LogAxisOf20To11025HzTakesBins8To4096) {
  state->dblLevel.Fill(45);
  CalcLogTrace(state->BinCount(), state->Axis(), 20, 11025, state->dblLevel, x(), y());
  EXPECT_EQ(MarkerIndex(), 4089);
  const double octaves = std::log2(11025 / 20.0);                                  // 9.11
  EXPECT_NEAR(x()[0], 1000 * std::log2(8 * 22050 / 8192.0 / 20) / octaves, 1e-9);  // 11.66
  EXPECT_EQ(x()[4088], 1000);
  // Bin 372 (1001.29 Hz) at 5.646 of the 9.107 octaves: x = 619.96.
  EXPECT_NEAR(x()[372 - 8], 619.96, 0.005);
  for (Long i = 1; i <= 4088; ++i) ASSERT_GT(x()[i], x()[i - 1]) << i;
  for (Long i = 0; i <= 4088; ++i) ASSERT_EQ(y()[i], 437.5) << i;
  CalcLogTrace(state->BinCount(), state->Axis(), 20, 21, state->dblLevel, x(), y());
  EXPECT_EQ(MarkerIndex(), 1);
}

// Fractions of linear and log axes at and beyond their ends, and their inverse.
TEST(FrequencyAxis, FractionsAtTheEndsAndBack) {
  const FrequencyAxis linear{FrequencyScale::kLinear, 270, 2700};
  const FrequencyAxis log{FrequencyScale::kLog, 20, 11025};
  const struct {
    const FrequencyAxis& axis;
    double hz, fraction;
  } cases[] = {{linear, 270, 0},
               {linear, 2700, 1},
               {linear, 1485, 0.5},
               {linear, 30, -240 / 2430.0},
               {log, 20, 0},
               {log, 11025, 1},
               {log, 40, 1 / std::log2(551.25)},
               {log, 10, -1 / std::log2(551.25)}};
  for (const auto& c : cases) {
    EXPECT_NEAR(c.axis.Fraction(c.hz), c.fraction, 1e-6) << c.hz;
    EXPECT_NEAR(c.axis.Hz(c.fraction), c.hz, 1e-9 * c.hz) << c.hz;
  }
  EXPECT_EQ(log.Fraction(0), -INFINITY);
}

// 1-2-5 steps while they give three ticks or more (decades alone once those give as many as
// wanted), else octaves of 1 kHz, else the two ends.
TEST(FrequencyAxis, LogTicksOnDecadesStepsOctavesOrTheEnds) {
  const struct {
    double low, high;
    int wanted;
    std::vector<double> ticks;
  } cases[] = {
      {20, 11025, 8, {20, 50, 100, 200, 500, 1000, 2000, 5000, 10000}},
      {1, 1e6, 5, {1, 10, 100, 1000, 1e4, 1e5, 1e6}},
      {0.1, 0.6, 3, {0.1, 0.2, 0.5}},
      {240, 1100, 5, {250, 500, 1000}},  // 1-2-5 gives only 500 and 1000
      {300, 900, 5, {300, 900}},         // nor octaves more than 500
  };
  for (const auto& c : cases) EXPECT_EQ(LogTicks(c.low, c.high, c.wanted), c.ticks) << c.low;
}

TEST_F(AnalysisTest, LevelsMapBelowTheReferenceAndClip) {
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

TEST_F(AnalysisTest, AxisEdgeCasesAndFaults) {
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

  // Faults end the mapping.
  state->sngDbPerDiv = 0;
  EXPECT_THROW(Map(), RuntimeError);
  state->sngDbPerDiv = 10;
  state->strFreqStart = "270";
  state->strFreqStop = "30000";
  EXPECT_NO_THROW(CalcTrace(8192, state->Axis(), state->dblLevel, x(), y()));
  EXPECT_THROW(CalcTrace(8194, state->Axis(), state->dblLevel, x(), y()), RuntimeError)
      << "bin 8194 lies beyond the level array";
}

// One sequence of figures as successive blocks deliver them: each is floored in place and
// carried into the max hold only when its number is strictly above the held one.
TEST(Readouts, FiguresFlooredAndTheMaxHoldOnlyRises) {
  struct Step {
    float figure;
    Integer hz;
    float floored;
    const char *signal, *peak, *hold;
  };
  const Step steps[] = {
      {0, 0, 0, "0 dB anl", "0 Hz", "0"},  // 0 is not above the cleared 0
      {-0.5f, 0, -1, "-1 dB anl", "0 Hz", "0"},
      {12.7f, 1033, 12, "12 dB anl", "1033 Hz", "12 dB anl"},
      {11.2f, 1033, 11, "11 dB anl", "1033 Hz", "12 dB anl"},
      {12.4f, 500, 12, "12 dB anl", "500 Hz", "12 dB anl"},
      {30.9f, 500, 30, "30 dB anl", "500 Hz", "30 dB anl"},
      {30, 500, 30, "30 dB anl", "500 Hz", "30 dB anl"},  // a redraw changes nothing
      {-12.3f, 3, -13, "-13 dB anl", "3 Hz", "30 dB anl"}};
  ReadoutCaptions captions{"Label1", kMaxHoldCleared, "Label1"};
  for (const Step& step : steps) {
    float figure = step.figure;
    UpdateReadouts(figure, step.hz, captions);
    EXPECT_EQ(figure, step.floored) << step.figure;
    EXPECT_EQ(captions.signal, step.signal);
    EXPECT_EQ(captions.peak, step.peak);
    EXPECT_EQ(captions.max_hold, step.hold) << step.figure;
  }
  captions.max_hold = "31";  // same number as the next figure, another text: no copy
  float figure = 31.5f;
  UpdateReadouts(figure, 0, captions);
  EXPECT_EQ(captions.max_hold, "31");
}

TEST(Readouts, ReferenceAndNoiseCaptions) {
  EXPECT_EQ(ReferenceCaption(30), "Ref: 30 dB");
  EXPECT_EQ(ReferenceCaption(-60), "Ref: -60 dB");
  EXPECT_EQ(NoiseCaption(-56.3f), "-57");
  EXPECT_EQ(NoiseCaption(-140), "-140");
  EXPECT_EQ(NoiseCaption(3.9f), "3");
}

// Start-up reads the sizes from its text constants; the code around the analyser uses the same
// numbers as constants of its own.
TEST(FixedSizes, AreWhatStartUpReadsFromItsTexts) {
  EXPECT_EQ(Val(kSampleRateText), kSampleRate);
  EXPECT_EQ(Val(kFFTSizeText), static_cast<double>(kBlockSamples));
}

}  // namespace
}  // namespace quorvane
