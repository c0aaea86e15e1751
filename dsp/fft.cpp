#include "dsp/fft.h"

#include <array>
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

// The twiddles of a stage, accumulated by the rotation recurrence in position order exactly
// as a position-by-position loop would meet them; holding them lets the butterflies run
// through memory in order, which is several times faster and gives the same bits.
// Below this half-span a stage's groups are too short to be worth a loop of their own.
constexpr int kShortHalfSpan = 8;

struct Twiddles {
  std::array<double, 8192> real;
  std::array<double, 8192> imag;
};

// Built twice, for AVX2 and for any x86-64, the better one chosen when the program loads.
// Contraction stays off in both, so neither uses fused multiply-add and both give the same bits.
__attribute__((target_clones("avx2", "default"))) void ButterflyStages(int n, double* re,
                                                                       double* im) {
  thread_local Twiddles twiddles;
  double* const w_re = twiddles.real.data();
  double* const w_im = twiddles.imag.data();
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
      w_re[q] = wr;
      w_im[q] = wi;
      const double next_wr = c * wr - d * wi;
      wi = d * wr + c * wi;
      wr = next_wr;
    }
    if (half_span < kShortHalfSpan) {
      // Few positions, many groups: one long pass per position.
      for (int q = 0; q < half_span; ++q) {
        const double twiddle_re = w_re[q];
        const double twiddle_im = w_im[q];
        for (int i = q; i < n; i += span) {
          const int p = i + half_span;
          const double tr = twiddle_re * re[p] - twiddle_im * im[p];
          const double ti = twiddle_re * im[p] + twiddle_im * re[p];
          re[p] = re[i] - tr;
          im[p] = im[i] - ti;
          re[i] = re[i] + tr;
          im[i] = im[i] + ti;
        }
      }
      continue;
    }
    for (int group = 0; group < n; group += span) {
      // The four halves never overlap: the top and bottom half of one group.
      double* __restrict const top_re = re + group;
      double* __restrict const top_im = im + group;
      double* __restrict const bottom_re = top_re + half_span;
      double* __restrict const bottom_im = top_im + half_span;
      for (int q = 0; q < half_span; ++q) {
        const double tr = w_re[q] * bottom_re[q] - w_im[q] * bottom_im[q];
        const double ti = w_re[q] * bottom_im[q] + w_im[q] * bottom_re[q];
        bottom_re[q] = top_re[q] - tr;
        bottom_im[q] = top_im[q] - ti;
        top_re[q] = top_re[q] + tr;
        top_im[q] = top_im[q] + ti;
      }
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
