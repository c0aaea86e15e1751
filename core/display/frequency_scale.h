#pragma once

#include <vector>

namespace quorvane {

// How frequency runs along an axis from `low` to `high` Hz: evenly in Hz, or evenly in
// octaves (which needs low > 0).
enum class FrequencyScale { kLinear, kLog };

struct FrequencyAxis {
  FrequencyScale scale = FrequencyScale::kLinear;
  double low = 0, high = 1;

  // Where `hz` lies, 0 at `low` and 1 at `high`; outside 0..1 beyond the ends (and -infinity
  // for 0 Hz or below on a log axis).
  double Fraction(double hz) const;
  // The frequency at `fraction`, the inverse of Fraction.
  double Hz(double fraction) const;
};

// Tick values for a log axis over low..high (low > 0): the 1-2-5 steps of each decade when
// they give at least three ticks (only the decades themselves when those alone give `wanted`
// or more), else octaves of 1 kHz (..., 250, 500, 1000, 2000, ...), else the two ends.
std::vector<double> LogTicks(double low, double high, int wanted);

}  // namespace quorvane
