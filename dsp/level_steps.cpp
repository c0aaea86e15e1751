#include "dsp/level_steps.h"

#include <cmath>

#include "dsp/levels.h"

namespace quorvane {

namespace {
// The same constants as LevelPass: the results must match it to the bit.
constexpr double kMagnitudeFloor = 0.0000001;
constexpr double kSmoothingDivisor = 10;
constexpr Long kNoiseBinsBelowTop = 800;
}  // namespace

void BlockLevels(double fft_size, std::span<const double> real, std::span<const double> imag,
                 std::span<double> levels) {
  const double top = fft_size / 2;
  const double ln10 = std::log(10.0);
  for (Long i = 0; i <= top; ++i) {
    const double re = real[i];
    const double im = imag[i];
    const double magnitude = CheckFinite(std::sqrt(re * re + im * im), "bin magnitude");
    levels[i] = CheckFinite(20 * std::log(magnitude + kMagnitudeFloor) / ln10, "bin level");
  }
}

void FoldLevels(double fft_size, std::span<const double> levels, BinArray& level,
                float& peak_figure, Integer& peak_hz, float& noise) {
  peak_figure = 0;
  const double top = fft_size / 2;
  for (Long i = 0; i <= top; ++i) {
    double& smoothed = level[i];
    smoothed = CheckFinite(smoothed + (levels[i] - smoothed) / kSmoothingDivisor, "level");
    const float candidate = static_cast<float>(smoothed);
    if (candidate > peak_figure) {
      peak_figure = candidate;
      peak_hz = PeakFrequency(i);
    }
  }

  if (top > 1000) noise = static_cast<float>(level[CLng(top - kNoiseBinsBelowTop)]);

  const double highest = peak_figure;
  const double noise_magnitude = std::fabs(static_cast<double>(noise));
  const double figure =
      highest > 0 ? 20 * std::log(highest) / 70 * highest - noise_magnitude : -noise_magnitude;
  peak_figure = static_cast<float>(CheckFinite(figure, "signal figure"));
}

}  // namespace quorvane
