#include "display/frequency_scale.h"

#include <cmath>
#include <limits>

namespace quorvane {

double FrequencyAxis::Fraction(double hz) const {
  if (scale == FrequencyScale::kLinear) return (hz - low) / (high - low);
  if (!(hz > 0)) return -std::numeric_limits<double>::infinity();
  return std::log(hz / low) / std::log(high / low);
}

double FrequencyAxis::Hz(double fraction) const {
  if (scale == FrequencyScale::kLinear) return low + fraction * (high - low);
  return low * std::pow(high / low, fraction);
}

namespace {
// Within a millionth of the range's ends still counts as inside: 20 Hz stays a tick of an
// axis from 20 Hz whatever rounding its owner's arithmetic did.
bool Inside(double value, double low, double high) {
  return value >= low * (1 - 1e-6) && value <= high * (1 + 1e-6);
}
}  // namespace

std::vector<double> LogTicks(double low, double high, int wanted) {
  std::vector<double> decades, steps;
  const int first = static_cast<int>(std::floor(std::log10(low)));
  const int last = static_cast<int>(std::ceil(std::log10(high)));
  for (int power = first; power <= last; ++power) {
    // 10^power by whole steps, so that 0.1 * 2 is 0.2 and not 0.20000000000000001.
    const double decade = power >= 0 ? std::pow(10.0, power) : 1 / std::pow(10.0, -power);
    for (double factor : {1, 2, 5}) {
      const double value = factor * decade;
      if (!Inside(value, low, high)) continue;
      steps.push_back(value);
      if (factor == 1) decades.push_back(value);
    }
  }
  if (std::ssize(decades) >= wanted && decades.size() >= 3) return decades;
  if (steps.size() >= 3) return steps;
  std::vector<double> octaves;
  const int from = static_cast<int>(std::floor(std::log2(low / 1000)));
  const int to = static_cast<int>(std::ceil(std::log2(high / 1000)));
  for (int octave = from; octave <= to; ++octave) {
    const double value = std::ldexp(1000.0, octave);
    if (Inside(value, low, high)) octaves.push_back(value);
  }
  if (octaves.size() >= 2) return octaves;
  return {low, high};
}

}  // namespace quorvane
