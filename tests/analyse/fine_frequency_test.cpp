// The fine peak frequency of 16-bit blocks through the analyser's own FFT.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "dsp/fft.h"
#include "dsp/fine_frequency.h"

namespace quorvane {
namespace {

constexpr double kHzPerBin = 22050.0 / 8192;
std::mt19937 random_source(7);

// Tones of random phase, as (Hz, amplitude) pairs, in Gaussian noise.
std::optional<double> FineHz(const std::vector<std::pair<double, double>>& tones, double noise) {
  std::vector<double> re(8192, 0.0), im(8192, 0.0);
  for (auto [hz, amplitude] : tones) {
    const double phase = std::uniform_real_distribution<double>(0, 7)(random_source);
    for (int i = 0; i < 8192; ++i) re[i] += amplitude * std::cos(2 * M_PI * hz * i / 22050 + phase);
  }
  std::normal_distribution<double> gauss(0, noise);
  for (double& v : re)
    v = std::nearbyint((v + (noise > 0 ? gauss(random_source) : 0)) * 32768) / 32768;
  FFT(8192, re, im);
  const auto bins = FineFrequencyBins(re, im);
  return bins ? std::optional<double>(*bins * kHzPerBin) : std::nullopt;
}

TEST(FineFrequency, CleanTonesNoisyTonesAndNoLine) {
  // Bin 1000 exactly catches a wrong bin width; +-0.3 bin catches swapped neighbours.
  for (double hz : {270.0, 440.0, 1000 * kHzPerBin, 500.3 * kHzPerBin, 699.7 * kHzPerBin,
                    123.5 * kHzPerBin, 1733.21, 2699.9}) {
    EXPECT_NEAR(FineHz({{hz, 0.5}}, 0).value_or(0), hz, 0.005);
  }

  // 0 dB signal-to-noise per sample, against the Cramer-Rao bound for this length and rate.
  const double bound = 22050 / (2 * std::numbers::pi) * std::sqrt(12 / std::pow(8192.0, 3));
  double squares = 0;
  for (int block = 0; block < 300; ++block) {
    const double hz = std::uniform_real_distribution<double>(270, 2700)(random_source);
    squares += std::pow(FineHz({{hz, 0.25}}, 0.25 / std::numbers::sqrt2).value_or(0) - hz, 2);
  }
  EXPECT_LE(std::sqrt(squares / 300), 1.5 * bound);

  EXPECT_FALSE(FineHz({{400 * kHzPerBin, 0.25}, {403 * kHzPerBin, 0.04}}, 0)) << "two tones";
  EXPECT_FALSE(FineHz({}, 0)) << "silence";
  EXPECT_FALSE(FineHz({}, 0.2)) << "white noise";
}

}  // namespace
}  // namespace quorvane
