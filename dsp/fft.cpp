#include "dsp/fft.h"

#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "common/runtime_error.h"

namespace quorvane {

namespace {
// Five decimals on purpose: every block's spectrum is defined by this constant.
constexpr double kAngleConstant = 3.14159;

void CheckContract(std::int16_t n, std::span<double> real, std::span<double> imag) {
  if (n < 1 || !std::has_single_bit(static_cast<unsigned>(n))) {
    RaiseOverflow("FFT length " + std::to_string(n) + " is not a power of two in 1..16384");
  }
  if (real.size() < static_cast<std::size_t>(n) || imag.size() < static_cast<std::size_t>(n)) {
    RaiseSubscript("FFT arrays shorter than its length " + std::to_string(n));
  }
}

// With n a power of two up to 16384 no index or index sum below leaves 0..1.5n-1, so once
// the contract is checked the loops need neither overflow nor bounds checks.

// j walks i's bit-reversed image by carrying from the top bit down.
void BitReverseUnchecked(int n, double* re, double* im) {
  const int half = n / 2;
  int j = half;
  for (int i = 1; i <= n - 2; ++i) {
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
    int k = half;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
}

void ButterflyStages(int n, double* re, double* im) {
  const int last = n - 1;
  const int stages = std::countr_zero(static_cast<unsigned>(n));
  for (int stage = 1; stage <= stages; ++stage) {
    const int span = 1 << stage;
    const int half_span = span / 2;
    const double theta = kAngleConstant / static_cast<double>(half_span);
    const double c = std::cos(theta);
    const double d = -std::sin(theta);
    double wr = 1.0;
    double wi = 0.0;
    for (int q = 0; q < half_span; ++q) {
      for (int i = q; i <= last; i += span) {
        const int p = i + half_span;
        const double tr = wr * re[p] - wi * im[p];
        const double ti = wr * im[p] + wi * re[p];
        re[p] = re[i] - tr;
        im[p] = im[i] - ti;
        re[i] = re[i] + tr;
        im[i] = im[i] + ti;
      }
      const double next_wr = c * wr - d * wi;
      wi = d * wr + c * wi;
      wr = next_wr;
    }
  }
}

}  // namespace

void FFT(std::int16_t n, std::span<double> real, std::span<double> imag) {
  CheckContract(n, real, imag);
  BitReverseUnchecked(n, real.data(), imag.data());
  ButterflyStages(n, real.data(), imag.data());
}

void BitReverse(std::int16_t n, std::span<double> real, std::span<double> imag) {
  CheckContract(n, real, imag);
  BitReverseUnchecked(n, real.data(), imag.data());
}

}  // namespace quorvane
