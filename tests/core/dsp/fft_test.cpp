#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "dsp/fft.h"
#include "tests/raises.h"

namespace quorvane {

// Test lines name the build, not its bytes.
void PrintTo(FFTBuild build, std::ostream* out) {
  *out << ToString(build);
}

namespace {

// The transform written out step by step with Double counters rounded the way the analyser
// defines them, kept apart from the shipped code so that a faster FFT can be checked against
// it to the bit.
void ReferenceFFT(int n, double* re, double* im) {
  const double p = 3.14159;
  const int half = static_cast<int>(std::nearbyint(n / 2.0));
  const int stages = static_cast<int>(std::nearbyint(std::log(n) / std::log(2.0)));
  for (int i = 1, j = half, k; i <= n - 2; i++, j += k) {
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
    for (k = half; k <= j; k = static_cast<int>(std::nearbyint(k / 2.0))) j -= k;
  }
  for (int s = 1; s <= stages; s++) {
    const int span = static_cast<int>(std::nearbyint(std::pow(2.0, s)));
    const int h = static_cast<int>(std::nearbyint(span / 2.0));
    const double c = std::cos(p / h), d = -std::sin(p / h);
    double wr = 1, wi = 0;
    for (int q = 0; q <= h - 1; q++) {
      for (int i = q; i <= n - 1; i += span) {
        const double tr = wr * re[i + h] - wi * im[i + h];
        const double ti = wr * im[i + h] + wi * re[i + h];
        re[i + h] = re[i] - tr;
        im[i + h] = im[i] - ti;
        re[i] = re[i] + tr;
        im[i] = im[i] + ti;
      }
      std::tie(wr, wi) = std::pair(c * wr - d * wi, d * wr + c * wi);
    }
  }
}

// Every build of the transform; those this processor cannot run are skipped.
using FFTBuilds = testing::TestWithParam<FFTBuild>;
const char* const kBuildNames[] = {"Plain", "Avx2", "Avx512"};
INSTANTIATE_TEST_SUITE_P(, FFTBuilds,
                         testing::Values(FFTBuild::kPlain, FFTBuild::kAvx2, FFTBuild::kAvx512),
                         [](const auto& info) { return kBuildNames[info.index]; });

// Where the caller's two arrays lie: the real part's start in doubles after a 4 KiB boundary,
// and the doubles between the 16 sentinels that follow it and the imaginary part. The
// transform takes other paths through memory for some of these (an imaginary part an exact
// multiple of 4 KiB after the real part from n = 512 up, starts off a vector's alignment), and
// every one must give the same bits.
struct Placement {
  int re_at;
  int im_gap;
};
// Between them the starts take every offset within a 64-byte cache line.
constexpr Placement kPlacements[] = {{0, 0},    {0, 496}, {2, 0},  {1, 6}, {3, 49},
                                     {8, 2033}, {5, 494}, {6, 24}, {4, 1}, {7, 8}};

TEST_P(FFTBuilds, MatchTheReferenceBitForBitAndTouchNothingPastN) {
  if (!Supported(GetParam())) GTEST_SKIP() << "this processor cannot run this build";
  std::mt19937_64 random(20261206);
  std::uniform_real_distribution<double> fraction(-1.0, 1.0);
  const auto value = [&](unsigned zero_in_four) {
    return random() % 4 < zero_in_four ? std::copysign(0.0, fraction(random)) : fraction(random);
  };

  // Real input, complex input, and zeros of either sign alone: every zero that comes out
  // must have the sign the reference gives it.
  for (const auto& [re_at, im_gap] : kPlacements) {
    for (const auto& [complex, zero_in_four] : {std::pair{false, 1u}, {true, 1u}, {true, 4u}}) {
      for (int n = 1; n <= 16384; n *= 2) {
        // One pool holds both arrays, each followed by 16 sentinels that must come back as
        // they were, and so does everything else in the pool.
        const int im_at = re_at + n + 16 + im_gap;
        std::vector<double> pool(im_at + n + 16 + 1024, -12345.5);
        const auto address = reinterpret_cast<std::uintptr_t>(pool.data());
        const std::size_t page = (4096 - address % 4096) % 4096 / sizeof(double);
        double* const re = pool.data() + page + re_at;
        double* const im = pool.data() + page + im_at;
        for (int i = 0; i < n; ++i) {
          re[i] = value(zero_in_four);
          im[i] = complex ? value(zero_in_four) : 0.0;
        }
        std::vector<double> want = pool;
        ReferenceFFT(n, want.data() + page + re_at, want.data() + page + im_at);
        FFT(GetParam(), static_cast<std::int16_t>(n), {re, static_cast<std::size_t>(n)},
            {im, static_cast<std::size_t>(n)});
        ASSERT_EQ(std::memcmp(pool.data(), want.data(), pool.size() * sizeof(double)), 0)
            << "n " << n << ", real part at " << re_at << ", gap " << im_gap;
      }
    }
  }
}

std::vector<double> Signal(double (*value)(int)) {
  std::vector<double> signal(8192);
  for (int i = 0; i < 8192; ++i) signal[i] = value(i);
  return signal;
}

TEST_P(FFTBuilds, GiveTheHandCheckedSpectra) {
  if (!Supported(GetParam())) GTEST_SKIP() << "this processor cannot run this build";
  const std::vector<double> zeros(8192, 0.0), ones(8192, 1.0);
  using Values = std::vector<double>;
  const std::tuple<const char*, Values, Values, Values, Values, double> cases[] = {
      // clang-format off
      // Each bin of an impulse is exactly 1: no twiddle ever multiplies a non-zero value.
      {"impulse", Signal([](int i) { return i == 0 ? 1.0 : 0.0; }), zeros, ones, zeros, 0},
      {"constant", ones, zeros, Signal([](int k) { return k == 0 ? 8192.0 : 0.0; }), zeros, 0},
      {"alternating", Signal([](int i) { return i % 2 == 0 ? 1.0 : -1.0; }), zeros,
                      Signal([](int k) { return k == 4096 ? 8192.0 : 0.0; }), zeros, 0},
      // With pi, bins 1 and 3 would be -2 +- 2j; 3.14159 turns the quarter rotation slightly
      // short, which moves them by a few parts in a million.
      {"1 2 3 4", {1, 2, 3, 4}, {0, 0, 0, 0}, {10, -2.0000026536, -2, -1.9999973464},
                                              {0, 1.9999999999982, 0, -1.9999999999982}, 1e-10},
      {"two points", {0.25, -0.75}, {0.5, 0.125}, {-0.5, 1.0}, {0.625, 0.375}, 0},
      {"one point", {0.3}, {-0.7}, {0.3}, {-0.7}, 0},
      // clang-format on
  };
  for (auto [input, re, im, want_re, want_im, tolerance] : cases) {
    const auto n = static_cast<std::int16_t>(re.size());
    FFT(GetParam(), n, re, im);
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[k], want_re[k], tolerance) << input << ", bin " << k;
      ASSERT_NEAR(im[k], want_im[k], tolerance) << input << ", bin " << k;
    }
  }
}

TEST(FFTContract, RefusesBadLengthsAndShortArraysBeforeTouchingAnything) {
  using enum RuntimeError::Kind;
  const std::tuple<std::int16_t, std::size_t, std::size_t, RuntimeError::Kind> cases[] = {
      {0, 64, 64, Overflow},  {-8, 64, 64, Overflow},           {3, 64, 64, Overflow},
      {12, 64, 64, Overflow}, {16, 8, 16, SubscriptOutOfRange}, {16, 16, 15, SubscriptOutOfRange}};
  for (const auto& [n, re_size, im_size, kind] : cases) {
    std::vector<double> re(re_size, 0.5), im(im_size, 0.5);
    EXPECT_EQ(test::Raised([&, n = n] { FFT(n, re, im); }), kind) << n;
    EXPECT_EQ(re, std::vector<double>(re_size, 0.5)) << n;
    EXPECT_EQ(im, std::vector<double>(im_size, 0.5)) << n;
  }
}

}  // namespace
}  // namespace quorvane
