#include "dsp/levels.h"

#include <cmath>

namespace quorvane {

namespace {
// Keeps the logarithm finite and puts the floor of a silent bin at -140 dB.
constexpr double kMagnitudeFloor = 0.0000001;
// Levels join the smoothed spectrum at this weight per block.
constexpr double kSmoothingDivisor = 10;
// The noise reference sits this many bins below half the sample rate (~8.87 kHz).
constexpr Long kNoiseBinsBelowTop = 800;
}  // namespace

void LevelPass(double fft_size, const SampleArray& real, const SampleArray& imag, BinArray& level,
               float& peak_figure, Integer& peak_hz, float& noise) {
  peak_figure = 0;
  const double top = fft_size / 2;
  const double ln10 = std::log(10.0);

  for (Long i = 0; i <= top; ++i) {
    const double re = real[i];
    const double im = imag[i];
    const double magnitude = CheckFinite(std::sqrt(re * re + im * im), "bin magnitude");
    const double block_level =
        CheckFinite(20 * std::log(magnitude + kMagnitudeFloor) / ln10, "bin level");
    double& smoothed = level[i];
    smoothed = CheckFinite(smoothed + (block_level - smoothed) / kSmoothingDivisor, "level");

    const float candidate = static_cast<float>(smoothed);
    if (candidate > peak_figure) {
      peak_figure = candidate;
      peak_hz = PeakFrequency(i);
    }
  }

  if (top > 1000) noise = static_cast<float>(level[CLng(top - kNoiseBinsBelowTop)]);

  const double highest = peak_figure;
  const double noise_magnitude = std::fabs(static_cast<double>(noise));
  // The first term tends to 0 as the highest level falls to 0; ln(0) itself has no value.
  const double figure =
      highest > 0 ? 20 * std::log(highest) / 70 * highest - noise_magnitude : -noise_magnitude;
  peak_figure = static_cast<float>(CheckFinite(figure, "signal figure"));
}

}  // namespace quorvane
