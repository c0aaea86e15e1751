#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "app/analyser_state.h"
#include "dsp/frame.h"
#include "dsp/levels.h"

namespace quorvane {
namespace {

// A 16-bit block read the way the capture delivers it: sample / 32768.
SampleReader ReaderOf(const std::vector<std::int16_t>& samples, std::vector<Long>* indices) {
  return [&samples, indices](Long index, double& out) {
    if (indices) indices->push_back(index);
    out = samples.at(index) / 32768.0;
  };
}

class AnalysisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReferenceStartValues(*state);
    SetAnalysisStartValues(*state, capture_rate, capture_bytes);
  }
  void Load(const std::vector<std::int16_t>& samples, std::vector<Long>* indices = nullptr) {
    LoadFrame(state->dblFFTSize, ReaderOf(samples, indices), state->dblSample, state->dblReal,
              state->dblImag);
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
  std::string capture_rate;
  Long capture_bytes = 0;
};

TEST_F(AnalysisTest, StartValuesDeriveFromTheTextConstants) {
  EXPECT_EQ(state->lngSampleRate, 22050);
  EXPECT_EQ(state->dblFFTSize, 8192);
  EXPECT_EQ(capture_rate, "22050");
  EXPECT_EQ(capture_bytes, 16384);
  EXPECT_EQ(state->sngRefLevel, 30);
  EXPECT_EQ(state->sngDbPerDiv, 10);
  EXPECT_EQ(state->BinCount(), 4096);
  // The FFT reads and writes both arrays at the same index; a 4 KiB multiple between them
  // makes every such pair alias.
  const auto distance = reinterpret_cast<const char*>(state->dblImag.data()) -
                        reinterpret_cast<const char*>(state->dblReal.data());
  EXPECT_NE(distance % 4096, 0);
}

TEST_F(AnalysisTest, FrameReadsTheWholeBufferAndClearsImaginaryParts) {
  std::vector<std::int16_t> samples(8192, 0);
  samples[0] = 16384;
  for (std::size_t i = 0; i < state->dblImag.size(); ++i) state->dblImag[i] = 7;
  state->dblReal[8192] = state->dblImag[16384] = -3;
  std::vector<Long> indices;
  Load(samples, &indices);

  ASSERT_EQ(indices.size(), 8192u);
  EXPECT_EQ(indices.front(), 0);
  EXPECT_EQ(indices.back(), 8191);
  // Half-scale impulse: every bin is exactly 0.5, whatever dblImag held before.
  for (int k = 0; k < 8192; ++k) {
    ASSERT_EQ(state->dblReal[k], 0.5) << k;
    ASSERT_EQ(state->dblImag[k], 0) << k;
  }
  EXPECT_EQ(state->dblReal[8192], -3);
  EXPECT_EQ(state->dblImag[8192], 7);
  EXPECT_EQ(state->dblImag[16384], -3);
  EXPECT_EQ(state->dblSample, 0);  // the last sample read
}

TEST_F(AnalysisTest, FullScaleNegativeBlockIsPureDC) {
  Load(std::vector<std::int16_t>(8192, -32768));
  EXPECT_EQ(state->dblReal[0], -8192);
  EXPECT_EQ(state->dblImag[0], 0);
  for (int k = 1; k < 8192; ++k) {
    ASSERT_EQ(state->dblReal[k], 0) << k;
    ASSERT_EQ(state->dblImag[k], 0) << k;
  }
}

TEST_F(AnalysisTest, SilenceContributesMinus140AndKeepsGoing) {
  Load(std::vector<std::int16_t>(8192, 0));
  state->intPeakFreq = 1234;
  Pass();  // must not raise: quiet input keeps the display running
  for (int k = 0; k <= 4096; ++k) ASSERT_NEAR(state->dblLevel[k], -14, 1e-12) << k;
  EXPECT_EQ(state->dblLevel[4097], 0);  // bins above N/2 are not part of the pass
  EXPECT_EQ(state->sngNoise, static_cast<float>(state->dblLevel[3296]));
  // No bin above 0 dB: the figure is the formula's limit, -|noise|, and the peak stays.
  EXPECT_EQ(state->sngMax, -std::fabs(state->sngNoise));
  EXPECT_EQ(state->intPeakFreq, 1234);
}

TEST_F(AnalysisTest, SmoothingTakesOneTenthPerBlock) {
  const double expected[] = {6, 11.4, 16.26, 20.634, 24.5706};
  for (int block = 0; block < 10; ++block) {
    SetBinLevel(500, 60);
    Pass();
    if (block < 5) {
      EXPECT_NEAR(state->dblLevel[500], expected[block], 1e-6) << block;
    }
  }
  EXPECT_NEAR(state->dblLevel[500], 60 * (1 - std::pow(0.9, 10)), 1e-6);  // 39.08
  EXPECT_NEAR(state->dblLevel[500], 39.08, 0.001);
}

TEST_F(AnalysisTest, PeakGoesToTheLowerOfEqualBins) {
  SetBinLevel(372, 40);
  SetBinLevel(800, 40);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 1001);
  // Levels that differ as Doubles but agree as Singles are a tie too.
  state->dblLevel.Fill(0);
  SetBinLevel(311, 40);
  SetBinLevel(100, 40 + 1e-9);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 269);
}

TEST_F(AnalysisTest, PeakFrequencyCountsTheReadoutsHzPerBin) {
  // 2 x 1.344855 Hz per bin, rounded half to even; deliberately not 22050/8192.
  EXPECT_EQ(PeakFrequency(0), 0);
  EXPECT_EQ(PeakFrequency(1), 3);
  EXPECT_EQ(PeakFrequency(100), 269);
  EXPECT_EQ(PeakFrequency(311), 836);  // 836.4998
  EXPECT_EQ(PeakFrequency(372), 1001);
  EXPECT_EQ(PeakFrequency(1584), 4261);  // 4260.5006
  EXPECT_EQ(PeakFrequency(4096), 11017);
  SetBinLevel(0, 30);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 0);
  // Bin 0 falls to 2.7 dB; a 200 dB line lifts bin 4096 from -14 to 7.4 dB in one block.
  SetBinLevel(0, 0);
  SetBinLevel(4096, 200);
  Pass();
  EXPECT_EQ(state->intPeakFreq, 11017);
}

// The pass smooths towards each block's level; seeding the smoothed value with the same
// level keeps it there, so the figure below works from known levels.
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

TEST_F(AnalysisTest, NonFiniteSpectrumIsAFloatingPointFault) {
  state->dblReal[10] = std::nan("");
  try {
    Pass();
    FAIL() << "a NaN bin must end the pass";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeError::Kind::FloatingPoint);
  }
  EXPECT_NEAR(state->dblLevel[9], -14, 1e-12);  // what was done before the fault stays
  EXPECT_EQ(state->dblLevel[11], 0);
}

TEST_F(AnalysisTest, OversizedLengthIsASubscriptError) {
  state->dblFFTSize = 32768;  // needs bins up to 16384, beyond the level array
  EXPECT_THROW(Pass(), RuntimeError);
}

}  // namespace
}  // namespace quorvane
