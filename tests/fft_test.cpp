#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/fft.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {
namespace {

// The transform written out step by step with Double counters rounded the way the analyser
// defines them, kept apart from the shipped code so that a faster FFT can be checked against
// it to the bit.
void ReferenceFFT(int n, double* re, double* im) {
  const double p = 3.14159;
  const int last = n - 1;
  const int half = static_cast<int>(std::nearbyint(n / 2.0));
  const int stages = static_cast<int>(std::nearbyint(std::log(n) / std::log(2.0)));
  int j = half;
  for (int i = 1; i <= n - 2; i++) {
    if (i < j) {
      double t = re[j];
      re[j] = re[i];
      re[i] = t;
      t = im[j];
      im[j] = im[i];
      im[i] = t;
    }
    int k = half;
    while (k <= j) {
      j = j - k;
      k = static_cast<int>(std::nearbyint(k / 2.0));
    }
    j = j + k;
  }
  for (int s = 1; s <= stages; s++) {
    const int span = static_cast<int>(std::nearbyint(std::pow(2.0, s)));
    const int h = static_cast<int>(std::nearbyint(span / 2.0));
    const double theta = p / h;
    const double c = std::cos(theta);
    const double d = -std::sin(theta);
    double wr = 1, wi = 0;
    for (int q = 0; q <= h - 1; q++) {
      for (int i = q; i <= last; i += span) {
        const int ip = i + h;
        const double tr = wr * re[ip] - wi * im[ip];
        const double ti = wr * im[ip] + wi * re[ip];
        re[ip] = re[i] - tr;
        im[ip] = im[i] - ti;
        re[i] = re[i] + tr;
        im[i] = im[i] + ti;
      }
      const double t = wr;
      wr = c * wr - d * wi;
      wi = d * t + c * wi;
    }
  }
}

struct Block {
  explicit Block(int n) : re(n, 0.0), im(n, 0.0) {}
  void Transform() { FFT(static_cast<std::int16_t>(re.size()), re, im); }
  std::vector<double> re, im;
};

TEST(FFTExactness, MatchesTheReferenceBitForBit) {
  std::mt19937_64 random(20261206);
  std::uniform_real_distribution<double> fraction(-1.0, 1.0);
  for (int n : {1, 2, 4, 16, 1024, 8192, 16384}) {
    for (int trial = 0; trial < 3; ++trial) {
      Block block(n);
      for (int i = 0; i < n; ++i) {
        block.re[i] = fraction(random);
        block.im[i] = trial == 2 ? fraction(random) : 0.0;
      }
      // Signed zeros must come out with the same sign as the reference gives them.
      if (n >= 4) {
        block.re[1] = -0.0;
        block.re[n - 1] = 0.0;
        block.im[2] = -0.0;
      }
      Block reference = block;
      block.Transform();
      ReferenceFFT(n, reference.re.data(), reference.im.data());
      EXPECT_EQ(std::memcmp(block.re.data(), reference.re.data(), n * sizeof(double)), 0)
          << "n=" << n << " trial=" << trial;
      EXPECT_EQ(std::memcmp(block.im.data(), reference.im.data(), n * sizeof(double)), 0)
          << "n=" << n << " trial=" << trial;
    }
  }
}

TEST(FFTExactness, FourPointsShowTheAngleConstant) {
  // With pi the answer would be (-2, 2) and (-2, -2); 3.14159 turns the quarter rotation
  // slightly short, which moves the two odd bins by a few parts in a million.
  Block block(4);
  block.re = {1, 2, 3, 4};
  block.Transform();
  EXPECT_EQ(block.re[0], 10);
  EXPECT_EQ(block.im[0], 0);
  EXPECT_NEAR(block.re[1], -2.0000026536, 1e-10);
  EXPECT_NEAR(block.im[1], 1.9999999999982, 1e-13);
  EXPECT_EQ(block.re[2], -2);
  EXPECT_EQ(block.im[2], 0);
  EXPECT_NEAR(block.re[3], -1.9999973464, 1e-10);
  EXPECT_NEAR(block.im[3], -1.9999999999982, 1e-13);
}

TEST(FFTExactness, ExactSpectraOfSimpleInputs) {
  const int n = 8192;
  Block impulse(n);
  impulse.re[0] = 1;
  impulse.Transform();
  Block constant(n);
  std::fill(constant.re.begin(), constant.re.end(), 1.0);
  constant.Transform();
  Block alternating(n);
  for (int i = 0; i < n; ++i) alternating.re[i] = i % 2 == 0 ? 1 : -1;
  alternating.Transform();

  for (int k = 0; k < n; ++k) {
    // An impulse contains every frequency at unit weight: no twiddle ever multiplies a
    // non-zero value, so each bin is exactly 1.
    ASSERT_EQ(impulse.re[k], 1) << k;
    ASSERT_EQ(impulse.im[k], 0) << k;
    // All energy of a constant is at DC, of an alternating sequence at half the rate.
    ASSERT_EQ(constant.re[k], k == 0 ? n : 0) << k;
    ASSERT_EQ(constant.im[k], 0) << k;
    ASSERT_EQ(alternating.re[k], k == n / 2 ? n : 0) << k;
    ASSERT_EQ(alternating.im[k], 0) << k;
  }
}

TEST(FFTExactness, CosineLandsInItsTwoBins) {
  const int n = 8192;
  Block block(n);
  for (int i = 0; i < n; ++i) block.re[i] = std::cos(2 * M_PI * 100 * i / n);
  block.Transform();
  for (int k = 0; k < n; ++k) {
    const double magnitude = std::hypot(block.re[k], block.im[k]);
    if (k == 100 || k == n - 100) {
      EXPECT_NEAR(magnitude, n / 2.0, 0.01) << k;
    } else {
      ASSERT_LT(magnitude, 0.006) << k;
    }
  }
}

TEST(FFTSmallSizes, TwoPointsAndOnePoint) {
  Block two(2);
  two.re = {0.25, -0.75};
  two.im = {0.5, 0.125};
  two.Transform();
  EXPECT_EQ(two.re, (std::vector<double>{-0.5, 1.0}));
  EXPECT_EQ(two.im, (std::vector<double>{0.625, 0.375}));

  Block one(1);
  one.re = {0.3};
  one.im = {-0.7};
  one.Transform();
  EXPECT_EQ(one.re[0], 0.3);
  EXPECT_EQ(one.im[0], -0.7);
}

TEST(FFTBitReversal, SixteenPointsSwapTheReversedPairs) {
  // Reversal pairs for 4 bits: (1,8) (2,4) (3,12) (5,10) (7,14) (11,13); 0, 6, 9 and 15 are
  // their own mirror images and stay.
  std::vector<double> re(16), im(16);
  for (int i = 0; i < 16; ++i) {
    re[i] = i;
    im[i] = -i;
  }
  BitReverse(16, re, im);
  const std::vector<double> expected = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  EXPECT_EQ(re, expected);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(im[i], -expected[i]);
}

TEST(FFTContract, LeavesElementsFromNOnUntouched) {
  SampleArray re, im;
  const double sentinel = -12345.5;
  for (std::size_t i = 8192; i < re.size(); ++i) re[i] = im[i] = sentinel;
  for (int i = 0; i < 8192; ++i) re[i] = std::sin(i * 0.1);
  FFT(8192, {re.data(), re.size()}, {im.data(), im.size()});
  for (std::size_t i = 8192; i < re.size(); ++i) {
    ASSERT_EQ(re[i], sentinel);
    ASSERT_EQ(im[i], sentinel);
  }
}

TEST(FFTContract, RefusesBadLengthsBeforeTouchingAnything) {
  for (std::int16_t n : {0, -8, 3, 12, 8191}) {
    std::vector<double> re(16384, 0.5), im(16384, 0.25);
    EXPECT_THROW(FFT(n, re, im), RuntimeError) << n;
    EXPECT_EQ(re, std::vector<double>(16384, 0.5));
    EXPECT_EQ(im, std::vector<double>(16384, 0.25));
  }
  std::vector<double> short_re(8, 1.0), long_im(16, 1.0);
  try {
    FFT(16, short_re, long_im);
    FAIL() << "arrays shorter than n must be refused";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeError::Kind::SubscriptOutOfRange);
  }
  EXPECT_EQ(short_re, std::vector<double>(8, 1.0));
}

}  // namespace
}  // namespace quorvane
