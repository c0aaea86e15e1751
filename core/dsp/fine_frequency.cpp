#include "dsp/fine_frequency.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "common/dispatch.h"

namespace quorvane {

namespace {

using Complex = std::complex<double>;

// Levels count from this floor; a silent bin is not 20 dB below anything.
constexpr double kMagnitudeFloor = 0.0000001;
constexpr double kClearLineRatio = 10;        // 20 dB above the median
constexpr double kSteadyToneTolerance = 0.1;  // -20 dB of |X[k]|
constexpr int kSteadyToneReach = 4;
// Half a bin, and a hair more: for a line half-way between two bins, which one is strongest
// depends on a sample's rounding, and the estimate may land a few millionths beyond 0.5.
constexpr double kMaxOffset = 0.501;

double Tau(double x) {
  const double root = std::sqrt(2.0 / 3.0);
  return 0.25 * std::log(3 * x * x + 6 * x + 1) -
         std::sqrt(6.0) / 24 * std::log((x + 1 - root) / (x + 1 + root));
}

// The DFT of exp(j*2*pi*f*n/N), n = 0..N-1, at bin f + d.
Complex Kernel(double d, int n) {
  if (std::fabs(d) < 1e-12) return n;
  const double pi = std::numbers::pi;
  const double size = std::sin(pi * d) / std::sin(pi * d / n);
  return std::polar(size, -pi * d * (n - 1) / n);
}

// The highest power of bins first..last-1 (-1 when there are none). Eight lanes side by side,
// so the loop vectorises at every width; the maximum is the same in any order.
QUORVANE_CLONES double HighestPower(const double* re, const double* im, int first,
                                    int last) noexcept {
  double lanes[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int m = first;
  for (; m + 8 <= last; m += 8) {
    for (int lane = 0; lane < 8; ++lane) {
      const double p = re[m + lane] * re[m + lane] + im[m + lane] * im[m + lane];
      lanes[lane] = p > lanes[lane] ? p : lanes[lane];
    }
  }
  double highest = -1;
  for (const double lane : lanes) highest = lane > highest ? lane : highest;
  for (; m < last; ++m) {
    const double p = re[m] * re[m] + im[m] * im[m];
    highest = p > highest ? p : highest;
  }
  return highest;
}

// How many of bins 0..top have a power of at most `ceiling`.
QUORVANE_CLONES int CountAtMost(const double* re, const double* im, int top,
                                double ceiling) noexcept {
  int count = 0;
  for (int m = 0; m <= top; ++m) count += re[m] * re[m] + im[m] * im[m] <= ceiling;
  return count;
}

// The strongest of bins 1..top-1 by power, the lowest of equals; bin 1 when none has a power.
// The highest power comes first, then the first bin that has it.
int StrongestBin(std::span<const double> real, std::span<const double> imag, int top) {
  const auto power = [&](int m) { return real[m] * real[m] + imag[m] * imag[m]; };
  const double strongest = HighestPower(real.data(), imag.data(), 1, top);
  for (int m = 1; m < top; ++m) {
    if (power(m) == strongest) return m;
  }
  return 1;
}

}  // namespace

std::optional<double> FineFrequencyBins(std::span<const double> real,
                                        std::span<const double> imag) {
  const int n = static_cast<int>(real.size());
  const int top = n / 2;
  auto bin = [&](int m) {
    const int i = (m % n + n) % n;
    return Complex(real[i], imag[i]);
  };

  const int k = StrongestBin(real, imag, top);
  const Complex centre = bin(k);
  const double centre_size = std::abs(centre);
  if (centre_size == 0) return std::nullopt;

  // The median of bins 0..N/2 is at most this when more than half of them are.
  const double ceiling = (centre_size + kMagnitudeFloor) / kClearLineRatio - kMagnitudeFloor;
  if (ceiling < 0) return std::nullopt;
  const double ceiling_power = ceiling * ceiling;
  const int at_most = CountAtMost(real.data(), imag.data(), top, ceiling_power);
  if (at_most < (top + 1) / 2 + 1) return std::nullopt;

  // A real tone's mirror image at -f leaks into the three bins and pulls the estimate by up
  // to a few thousandths of a hertz; take it out with the amplitude fitted so far and estimate
  // again.
  Complex below = bin(k - 1), above = bin(k + 1), middle = centre;
  double offset = 0;
  for (int pass = 0; pass < 2; ++pass) {
    const double ap = (above / middle).real();
    const double am = (below / middle).real();
    if (ap == 1 || am == 1) return std::nullopt;
    const double dp = -ap / (1 - ap);
    const double dm = am / (1 - am);
    offset = (dp + dm) / 2 + Tau(dp * dp) - Tau(dm * dm);
    if (!std::isfinite(offset)) return std::nullopt;
    const double line = k + offset;
    const Complex mirror = std::conj(middle / Kernel(-offset, n));
    below = bin(k - 1) - mirror * Kernel(k - 1 + line, n);
    middle = centre - mirror * Kernel(k + line, n);
    above = bin(k + 1) - mirror * Kernel(k + 1 + line, n);
    if (middle == Complex(0)) return std::nullopt;
  }

  if (!(std::fabs(offset) <= kMaxOffset)) return std::nullopt;
  const Complex amplitude = centre / Kernel(-offset, n);
  for (int m = k - kSteadyToneReach; m <= k + kSteadyToneReach; ++m) {
    const Complex fitted = amplitude * Kernel(m - k - offset, n);
    if (!(std::abs(bin(m) - fitted) <= kSteadyToneTolerance * centre_size)) return std::nullopt;
  }
  return k + offset;
}

}  // namespace quorvane
