#include "dsp/fft.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "common/runtime_error.h"

namespace quorvane {

namespace {
// Five decimals on purpose: every block's spectrum is defined by this constant.
constexpr double kAngleConstant = 3.14159;
constexpr int kLongest = 16384;

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
//
// Every butterfly forms its products and sums from the same operands in the same order as a
// stage-by-stage, position-by-position loop would; only the order in which independent
// butterflies run differs, so the result is the same to the bit whatever the schedule.

// The twiddles of the stage with half-span h at positions q = 0..h-1, at index h + q. They
// depend on the stage alone, so one table serves every length and every thread. Each stage's
// run is accumulated by the rotation recurrence in position order, as the loop meets it.
struct Twiddles {
  Twiddles() {
    for (int h = 1; h < kLongest; h *= 2) {
      const double theta = kAngleConstant / static_cast<double>(h);
      const double c = std::cos(theta);
      const double d = -std::sin(theta);
      double wr = 1.0;
      double wi = 0.0;
      for (int q = 0; q < h; ++q) {
        re[h + q] = wr;
        im[h + q] = wi;
        const double next_wr = c * wr - d * wi;
        wi = d * wr + c * wi;
        wr = next_wr;
      }
    }
  }
  alignas(64) double re[kLongest];
  alignas(64) double im[kLongest];
};

// Built on first use; initialising a function-local static is thread-safe.
const Twiddles& StageTwiddles() {
  static const Twiddles table;
  return table;
}

// W doubles side by side; W = 1 is a plain double. The kernels below are written once for
// every width and compiled into each instruction-set build by inlining.
template <int W>
struct VecOf {
  typedef double type __attribute__((vector_size(W * sizeof(double))));
};
template <>
struct VecOf<1> {
  using type = double;
};
template <int W>
using Vec = typename VecOf<W>::type;

#define QUORVANE_INLINE [[gnu::always_inline]] inline
// Wide vectors cross no call boundary: every kernel is inlined into a build of its width.
#pragma GCC diagnostic ignored "-Wpsabi"

template <int W>
QUORVANE_INLINE Vec<W> Load(const double* from) {
  Vec<W> v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

template <int W>
QUORVANE_INLINE void Store(double* to, const Vec<W>& v) {
  std::memcpy(to, &v, sizeof v);
}

template <int W>
QUORVANE_INLINE Vec<W> Splat(double x) {
  return Vec<W>{} + x;
}

template <typename V>
QUORVANE_INLINE void Butterfly(V& top_re, V& top_im, V& bottom_re, V& bottom_im, const V& w_re,
                               const V& w_im) {
  const V tr = w_re * bottom_re - w_im * bottom_im;
  const V ti = w_re * bottom_im + w_im * bottom_re;
  bottom_re = top_re - tr;
  bottom_im = top_im - ti;
  top_re = top_re + tr;
  top_im = top_im + ti;
}

constexpr int ReverseBits(int value, int bits) {
  int reversed = 0;
  for (int b = 0; b < bits; ++b) reversed |= ((value >> b) & 1) << (bits - 1 - b);
  return reversed;
}

// Stages `first` .. first+K-1 as one pass: the 2^K elements h apart (h the first stage's
// half-span, at least W) that those stages combine stay in registers throughout.
template <int W, int K>
QUORVANE_INLINE void StagePass(int n, int first, double* re, double* im, const Twiddles& tw) {
  constexpr int kRows = 1 << K;
  const int h0 = 1 << (first - 1);
  for (int group = 0; group < n; group += kRows * h0) {
    for (int j = 0; j < h0; j += W) {
      Vec<W> x_re[kRows];
      Vec<W> x_im[kRows];
#pragma GCC unroll 16
      for (int t = 0; t < kRows; ++t) {
        x_re[t] = Load<W>(re + group + j + t * h0);
        x_im[t] = Load<W>(im + group + j + t * h0);
      }
#pragma GCC unroll 16
      for (int u = 0; u < K; ++u) {
        const int d = 1 << u;
        const int h = h0 << u;
#pragma GCC unroll 16
        for (int t = 0; t < kRows; ++t) {
          if ((t & d) != 0) continue;
          const int q = j + (t & (d - 1)) * h0;
          Butterfly(x_re[t], x_im[t], x_re[t + d], x_im[t + d], Load<W>(tw.re + h + q),
                    Load<W>(tw.im + h + q));
        }
      }
#pragma GCC unroll 16
      for (int t = 0; t < kRows; ++t) {
        Store<W>(re + group + j + t * h0, x_re[t]);
        Store<W>(im + group + j + t * h0, x_im[t]);
      }
    }
  }
}

// j walks i's bit-reversed image by carrying from the top bit down.
void BitReverseInPlace(int n, double* re, double* im) {
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

// Lane i of the shuffle that interleaves blocks of D lanes of a (lanes 0..W-1) and b
// (W..2W-1): the low or the high block of each pair.
constexpr int InterleavedLane(int w, int d, bool high, int i) {
  const int chunk = i / (2 * d);
  const int within = i % (2 * d);
  return chunk * 2 * d + within % d + (high ? d : 0) + (within >= d ? w : 0);
}

template <int W, int D, bool High, std::size_t... I>
QUORVANE_INLINE Vec<W> Interleave(const Vec<W>& a, const Vec<W>& b, std::index_sequence<I...>) {
  return __builtin_shufflevector(a, b, InterleavedLane(W, D, High, I)...);
}

template <int W, int D = 1>
QUORVANE_INLINE void Transpose(Vec<W>* rows) {
  if constexpr (D < W) {
#pragma GCC unroll 16
    for (int i = 0; i < W; ++i) {
      if ((i & D) != 0) continue;
      const Vec<W> low =
          Interleave<W, D, false>(rows[i], rows[i + D], std::make_index_sequence<W>{});
      const Vec<W> high =
          Interleave<W, D, true>(rows[i], rows[i + D], std::make_index_sequence<W>{});
      rows[i] = low;
      rows[i + D] = high;
    }
    Transpose<W, D * 2>(rows);
  }
}

// Splitting an index into its top b bits, a middle and its low b bits (W = 2^b), bit
// reversal sends the W x W tile of one middle onto the transposed tile of the reversed
// middle. Loaded a row per vector, the tile's columns are the groups of the first b stages,
// so those butterflies are whole-vector operations, and one transpose puts every element in
// its place.
template <int W>
struct Tile {
  Vec<W> re[W];
  Vec<W> im[W];

  QUORVANE_INLINE void Load(const double* from_re, const double* from_im, int row_stride) {
// Column `col` of the result is row reverse(col) of the source.
#pragma GCC unroll 16
    for (int col = 0; col < W; ++col) {
      const int at = ReverseBits(col, std::countr_zero(unsigned{W})) * row_stride;
      re[col] = quorvane::Load<W>(from_re + at);
      im[col] = quorvane::Load<W>(from_im + at);
    }
  }

  QUORVANE_INLINE void FirstStages(const Twiddles& tw) {
#pragma GCC unroll 16
    for (int h = 1; h < W; h *= 2) {
#pragma GCC unroll 16
      for (int col = 0; col < W; ++col) {
        if ((col & h) != 0) continue;
        const int q = col & (h - 1);
        Butterfly(re[col], im[col], re[col + h], im[col + h], Splat<W>(tw.re[h + q]),
                  Splat<W>(tw.im[h + q]));
      }
    }
  }

  QUORVANE_INLINE void Store(double* to_re, double* to_im, int row_stride) {
    Transpose<W>(re);
    Transpose<W>(im);
#pragma GCC unroll 16
    for (int lane = 0; lane < W; ++lane) {
      const int at = ReverseBits(lane, std::countr_zero(unsigned{W})) * row_stride;
      quorvane::Store<W>(to_re + at, re[lane]);
      quorvane::Store<W>(to_im + at, im[lane]);
    }
  }
};

template <int W>
QUORVANE_INLINE void ReverseWithFirstStages(int stages, double* re, double* im,
                                            const Twiddles& tw) {
  constexpr int kBits = std::countr_zero(unsigned{W});
  const int middle_bits = stages - 2 * kBits;
  const int row_stride = 1 << (stages - kBits);
  for (int m = 0; m < (1 << middle_bits); ++m) {
    const int mirror = ReverseBits(m, middle_bits);
    if (mirror < m) continue;
    Tile<W> tile;
    tile.Load(re + m * W, im + m * W, row_stride);
    tile.FirstStages(tw);
    if (mirror == m) {
      tile.Store(re + m * W, im + m * W, row_stride);
      continue;
    }
    Tile<W> other;
    other.Load(re + mirror * W, im + mirror * W, row_stride);
    other.FirstStages(tw);
    tile.Store(re + mirror * W, im + mirror * W, row_stride);
    other.Store(re + m * W, im + m * W, row_stride);
  }
}

// Stages first..last over `length` elements: three per pass where they fit, two passes of two
// rather than one of one.
template <int W>
QUORVANE_INLINE void StagePasses(int first, int last, int length, double* re, double* im,
                                 const Twiddles& tw) {
  int stage = first;
  while (stage <= last) {
    const int left = last - stage + 1;
    if (stage <= std::countr_zero(unsigned{W})) {
      StagePass<1, 1>(length, stage, re, im, tw);
      stage += 1;
    } else if (left == 1) {
      StagePass<W, 1>(length, stage, re, im, tw);
      stage += 1;
    } else if (left == 2 || left == 4) {
      StagePass<W, 2>(length, stage, re, im, tw);
      stage += 2;
    } else {
      StagePass<W, 3>(length, stage, re, im, tw);
      stage += 3;
    }
  }
}

// Stages whose groups span at most this many elements run block by block, each block
// through all of them while its 16 KiB stay in the first-level cache.
constexpr int kCachedStages = 10;

template <int W>
QUORVANE_INLINE void Transform(int n, double* re, double* im) {
  const Twiddles& tw = StageTwiddles();
  constexpr int kBits = std::countr_zero(unsigned{W});
  const int stages = std::countr_zero(static_cast<unsigned>(n));
  int first = 1;
  if (stages < 2 * kBits) {
    BitReverseInPlace(n, re, im);
  } else {
    ReverseWithFirstStages<W>(stages, re, im, tw);
    first += kBits;
  }
  const int cached = std::min(stages, kCachedStages);
  for (int block = 0; block < n; block += 1 << cached) {
    StagePasses<W>(first, cached, 1 << cached, re + block, im + block, tw);
  }
  StagePasses<W>(cached + 1, stages, n, re, im, tw);
}

// One build per instruction set; contraction stays off in all of them, so none uses fused
// multiply-add and all give the same bits.
[[gnu::flatten]] void TransformPlain(int n, double* re, double* im) {
  Transform<2>(n, re, im);
}

[[gnu::flatten, gnu::target("avx2")]] void TransformAvx2(int n, double* re, double* im) {
  Transform<4>(n, re, im);
}

[[gnu::flatten, gnu::target("avx512f")]] void TransformAvx512(int n, double* re, double* im) {
  Transform<8>(n, re, im);
}

FFTBuild Best() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return FFTBuild::kAvx512;
  if (__builtin_cpu_supports("avx2")) return FFTBuild::kAvx2;
  return FFTBuild::kPlain;
}

// Chosen once, when the program loads.
const FFTBuild kBest = Best();

}  // namespace

bool Supported(FFTBuild build) {
  switch (build) {
    case FFTBuild::kPlain:
      return true;
    case FFTBuild::kAvx2:
      return __builtin_cpu_supports("avx2");
    case FFTBuild::kAvx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
}

void FFT(FFTBuild build, std::int16_t n, std::span<double> real, std::span<double> imag) {
  CheckContract(n, real, imag);
  switch (build) {
    case FFTBuild::kPlain:
      return TransformPlain(n, real.data(), imag.data());
    case FFTBuild::kAvx2:
      return TransformAvx2(n, real.data(), imag.data());
    case FFTBuild::kAvx512:
      return TransformAvx512(n, real.data(), imag.data());
  }
}

void FFT(std::int16_t n, std::span<double> real, std::span<double> imag) {
  FFT(kBest, n, real, imag);
}

}  // namespace quorvane
