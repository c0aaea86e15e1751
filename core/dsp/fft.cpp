#include "dsp/fft.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/runtime_error.h"
#include "common/vector_types.h"

namespace quorvane {

namespace {
// Five decimals on purpose: every block's spectrum is defined by this constant.
constexpr double kAngleConstant = 3.14159;
constexpr int kLongest = 16384;
// Doubles in the widest vector of any build.
constexpr int kWidest = 8;
// Reordering goes by tiles of kTile x kTile elements (see ReverseWithFirstStages).
constexpr int kTileBits = 3;
constexpr int kTile = 1 << kTileBits;

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
        if (h + q < kTile) {
          std::fill_n(spread_re[h + q], kWidest, wr);
          std::fill_n(spread_im[h + q], kWidest, wi);
        }
        const double next_wr = c * wr - d * wi;
        wi = d * wr + c * wi;
        wr = next_wr;
      }
    }
  }
  // On a page of its own, so that the scratch arrays can keep clear of it (see ScratchFor).
  alignas(4096) double re[kLongest];
  alignas(64) double im[kLongest];
  // The first stages' twiddles, each repeated across a vector of the widest build.
  alignas(64) double spread_re[kTile][kWidest];
  alignas(64) double spread_im[kTile][kWidest];
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
  using type = typename VectorOf<W>::Doubles;
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

// Splitting an index into its top three bits t, a middle m and its low three bits l, bit
// reversal sends element (t, m, l) to (rev l, rev m, rev t): the tile of middle m, kTile rows
// of kTile neighbours each, lands transposed on the tile of middle rev m. A tile row is one
// 64-byte cache line, so each line is read and written once, whole. The destination's low
// three bits are the source's rows, so the first three stages combine whole vectors of rows
// before the transpose.
//
// A strip is kTile rows by W columns of a tile; slot d holds source row rev d, which is where
// the first stages want it.
template <int W>
struct Strip {
  Vec<W> re[kTile];
  Vec<W> im[kTile];

  QUORVANE_INLINE void Load(const double* from_re, const double* from_im, int row_stride) {
#pragma GCC unroll 16
    for (int d = 0; d < kTile; ++d) {
      const int at = ReverseBits(d, kTileBits) * row_stride;
      re[d] = quorvane::Load<W>(from_re + at);
      im[d] = quorvane::Load<W>(from_im + at);
    }
  }

  QUORVANE_INLINE void FirstStages(const Twiddles& tw) {
#pragma GCC unroll 16
    for (int h = 1; h < kTile; h *= 2) {
#pragma GCC unroll 16
      for (int d = 0; d < kTile; ++d) {
        if ((d & h) != 0) continue;
        const int q = d & (h - 1);
        Butterfly(re[d], im[d], re[d + h], im[d + h], quorvane::Load<W>(tw.spread_re[h + q]),
                  quorvane::Load<W>(tw.spread_im[h + q]));
      }
    }
  }

  // Column `column + i` of the tile becomes row rev(column + i) of the destination tile; each
  // W slots make one W x W transpose.
  QUORVANE_INLINE void Store(double* to_re, double* to_im, int row_stride, int column) {
#pragma GCC unroll 16
    for (int k = 0; k < kTile; k += W) {
      Transpose<W>(re + k);
      Transpose<W>(im + k);
#pragma GCC unroll 16
      for (int i = 0; i < W; ++i) {
        const int at = ReverseBits(column + i, kTileBits) * row_stride + k;
        quorvane::Store<W>(to_re + at, re[k + i]);
        quorvane::Store<W>(to_im + at, im[k + i]);
      }
    }
  }
};

// The tile at `from` through the first stages into its destination at `to`.
template <int W>
QUORVANE_INLINE void TileWithFirstStages(const double* from_re, const double* from_im,
                                         int from_stride, double* to_re, double* to_im,
                                         int to_stride, const Twiddles& tw) {
#pragma GCC unroll 16
  for (int column = 0; column < kTile; column += W) {
    Strip<W> strip;
    strip.Load(from_re + column, from_im + column, from_stride);
    strip.FirstStages(tw);
    strip.Store(to_re, to_im, to_stride, column);
  }
}

// Reorders `from` into `to`, n = 2^stages elements, through the first stages: tile m of the
// source lands on tile rev m of the destination. The two pairs of arrays must not overlap.
template <int W>
QUORVANE_INLINE void ReverseInto(int stages, const double* from_re, const double* from_im,
                                 double* to_re, double* to_im, const Twiddles& tw) {
  const int middle_bits = stages - 2 * kTileBits;
  const int row_stride = 1 << (stages - kTileBits);
  for (int m = 0; m < (1 << middle_bits); ++m) {
    const int mirror = ReverseBits(m, middle_bits);
    TileWithFirstStages<W>(from_re + m * kTile, from_im + m * kTile, row_stride,
                           to_re + mirror * kTile, to_im + mirror * kTile, row_stride, tw);
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

// The same with the stages known when compiling, so that every span and address offset is a
// constant.
template <int W, int kFirst, int kLast>
QUORVANE_INLINE void StagePasses(int length, double* re, double* im, const Twiddles& tw) {
  if constexpr (kFirst <= kLast) {
    constexpr int kLeft = kLast - kFirst + 1;
    constexpr int kCombined = kLeft == 1 ? 1 : (kLeft == 2 || kLeft == 4) ? 2 : 3;
    StagePass<W, kCombined>(length, kFirst, re, im, tw);
    StagePasses<W, kFirst + kCombined, kLast>(length, re, im, tw);
  }
}

// Stages whose groups span at most this many elements run block by block, each block
// through all of them while its 16 KiB stay in the first-level cache.
constexpr int kCachedStages = 10;

// Lengths from kTile * kTile up run in scratch arrays of the transform's own, which lie where
// the passes run best whatever the caller passes: the reordering reads the caller's arrays
// into them, and the result is copied back in order. Over the caller's arrays the passes,
// which stride by powers of two, would slow down wherever those lie awkwardly (where a store
// to one array holds up the loads at the same offset within a 4 KiB page in another, or the
// rows of both crowd one cache set), and they are slowest where their stores meet the twiddle
// table's loads: a third slower at 8192 with every array a whole number of pages from it.
struct Scratch {
  double* re;  // the transform, from the reordering on
  double* im;
  double* in_re;  // the input copied in order, where the caller's arrays are awkward to reorder
  double* in_im;
};

constexpr int kPageDoubles = 4096 / sizeof(double);

// This thread's scratch for n elements. Within their 4 KiB pages the twiddle table starts at
// 0 (see Twiddles), the real part a quarter page on and the imaginary part three quarters,
// the copied input's two parts at three eighths and seven eighths. Allocated on a thread's
// first transform of that length or more and kept for the thread's life (about 520 KiB at
// n = 16384: four arrays, their gaps of under a page each and a page's room to shift them).
[[gnu::noinline]] Scratch ScratchFor(int n) {
  thread_local std::vector<double> storage;
  const std::size_t needed = 4 * static_cast<std::size_t>(n) + 3 * kPageDoubles;
  if (storage.size() < needed) storage.resize(needed);
  const auto page_offset = reinterpret_cast<std::uintptr_t>(storage.data()) % 4096 / 8;
  // From the start of one array to the next, a whole number of pages and the given eighths.
  const auto next = [n](double* from, int eighths) {
    const int page_part = n % kPageDoubles;
    return from + n + (eighths * kPageDoubles / 8 - page_part + kPageDoubles) % kPageDoubles;
  };
  double* const re = storage.data() + (kPageDoubles * 5 / 4 - page_offset) % kPageDoubles;
  double* const im = next(re, 4);
  double* const in_re = next(im, 5);
  return {re, im, in_re, next(in_re, 4)};
}

// Whether the reordering may read the caller's arrays themselves: they start at the same
// offset within a vector, and their rows fall in different cache sets. Otherwise they are
// first copied in order, which costs less than the reordering pays on them.
template <int W>
bool ReorderInPlace(const double* re, const double* im) {
  const auto at = [](const double* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const std::uintptr_t apart = (at(im) - at(re)) % 4096;
  return (at(re) - at(im)) % (W * sizeof(double)) == 0 && apart >= 64 && apart <= 4096 - 64;
}

// n elements of a real and an imaginary array copied in order, the real part first.
template <int W>
QUORVANE_INLINE void CopyPair(int n, const double* from_re, const double* from_im, double* to_re,
                              double* to_im) {
  for (int i = 0; i < n; i += W) Store<W>(to_re + i, Load<W>(from_re + i));
  for (int i = 0; i < n; i += W) Store<W>(to_im + i, Load<W>(from_im + i));
}

// The caller's arrays reordered through the first stages into the scratch arrays.
template <int W>
QUORVANE_INLINE void ReorderIntoScratch(int stages, const double* re, const double* im,
                                        const Scratch& scratch, const Twiddles& tw) {
  if (ReorderInPlace<W>(re, im)) {
    ReverseInto<W>(stages, re, im, scratch.re, scratch.im, tw);
  } else {
    CopyPair<W>(1 << stages, re, im, scratch.in_re, scratch.in_im);
    ReverseInto<W>(stages, scratch.in_re, scratch.in_im, scratch.re, scratch.im, tw);
  }
}

// Lengths from kTile * kTile up, one compiled transform per length: every span, stride and
// address offset is then a constant, which frees the registers that would hold them.
template <int W, int kStages>
QUORVANE_INLINE void SizedTransform(double* re, double* im, const Twiddles& tw) {
  constexpr int kLength = 1 << kStages;
  constexpr int kCached = std::min(kStages, kCachedStages);
  const Scratch scratch = ScratchFor(kLength);
  ReorderIntoScratch<W>(kStages, re, im, scratch, tw);
  for (int block = 0; block < kLength; block += 1 << kCached) {
    StagePasses<W, kTileBits + 1, kCached>(1 << kCached, scratch.re + block, scratch.im + block,
                                           tw);
  }
  StagePasses<W, kCached + 1, kStages>(kLength, scratch.re, scratch.im, tw);
  CopyPair<W>(kLength, scratch.re, scratch.im, re, im);
}

// Any length, its stages counted at run time; those shorter than a tile's rows and columns
// stay in the caller's arrays.
template <int W>
QUORVANE_INLINE void Transform(int n, double* re, double* im, const Twiddles& tw) {
  const int stages = std::countr_zero(static_cast<unsigned>(n));
  if (stages < 2 * kTileBits) {
    BitReverseInPlace(n, re, im);
    StagePasses<W>(1, stages, n, re, im, tw);
    return;
  }
  const Scratch scratch = ScratchFor(n);
  ReorderIntoScratch<W>(stages, re, im, scratch, tw);
  const int cached = std::min(stages, kCachedStages);
  for (int block = 0; block < n; block += 1 << cached) {
    StagePasses<W>(kTileBits + 1, cached, 1 << cached, scratch.re + block, scratch.im + block, tw);
  }
  StagePasses<W>(cached + 1, stages, n, scratch.re, scratch.im, tw);
  CopyPair<W>(n, scratch.re, scratch.im, re, im);
}

// The compiled length among kStages... that matches, else the run-time one.
template <int W, int... kStages>
QUORVANE_INLINE void SizedTransform(int n, double* re, double* im,
                                    std::integer_sequence<int, kStages...>) {
  const Twiddles& tw = StageTwiddles();
  const int stages = std::countr_zero(static_cast<unsigned>(n));
  const bool sized = ((stages == kStages && (SizedTransform<W, kStages>(re, im, tw), true)) || ...);
  if (!sized) Transform<W>(n, re, im, tw);
}

// From one tile's rows and columns (64) to the longest length.
using CompiledStages = std::integer_sequence<int, 6, 7, 8, 9, 10, 11, 12, 13, 14>;

// One build per instruction set; contraction stays off in all of them, so none uses fused
// multiply-add and all give the same bits. The wide builds are compiled per length; the plain
// one, for processors without AVX2, stays compact.
[[gnu::flatten]] void TransformPlain(int n, double* re, double* im) {
  Transform<2>(n, re, im, StageTwiddles());
}

#if defined(__x86_64__)
[[gnu::flatten, gnu::target("avx2")]] void TransformAvx2(int n, double* re, double* im) {
  SizedTransform<4>(n, re, im, CompiledStages{});
}

[[gnu::flatten, gnu::target("avx512f")]] void TransformAvx512(int n, double* re, double* im) {
  SizedTransform<8>(n, re, im, CompiledStages{});
}
#else
// Other processors have the plain build only; Supported() turns the others away.
void TransformAvx2(int n, double* re, double* im) {
  TransformPlain(n, re, im);
}
void TransformAvx512(int n, double* re, double* im) {
  TransformPlain(n, re, im);
}
#endif

// QUORVANE_NO_DISPATCH (common/dispatch.h) keeps callers on the plain build.
FFTBuild Best() {
#if defined(QUORVANE_NO_DISPATCH) || !defined(__x86_64__)
  return FFTBuild::kPlain;
#else
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return FFTBuild::kAvx512;
  if (__builtin_cpu_supports("avx2")) return FFTBuild::kAvx2;
  return FFTBuild::kPlain;
#endif
}

// Chosen once, when the program loads.
const FFTBuild kBest = Best();

}  // namespace

bool Supported(FFTBuild build) {
  switch (build) {
    case FFTBuild::kPlain:
      return true;
#if defined(__x86_64__)
    case FFTBuild::kAvx2:
      return __builtin_cpu_supports("avx2");
    case FFTBuild::kAvx512:
      return __builtin_cpu_supports("avx512f");
#else
    case FFTBuild::kAvx2:
    case FFTBuild::kAvx512:
      return false;
#endif
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

const char* ToString(FFTBuild build) {
  switch (build) {
    case FFTBuild::kPlain:
      return "plain";
    case FFTBuild::kAvx2:
      return "avx2";
    case FFTBuild::kAvx512:
      return "avx512";
  }
  return "?";
}

}  // namespace quorvane
