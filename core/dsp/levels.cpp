#include "dsp/levels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "common/dispatch.h"
#include "common/vector_types.h"

namespace quorvane {

namespace {
// Keeps the logarithm finite and puts the floor of a silent bin at -140 dB.
constexpr double kMagnitudeFloor = 0.0000001;
// Levels join the smoothed spectrum at this weight per block.
constexpr double kSmoothingDivisor = 10;
// The noise reference sits this many bins below half the sample rate (~8.87 kHz).
constexpr Long kNoiseBinsBelowTop = 800;
// Bins per chunk of the fast path; its working values live on the stack.
constexpr Long kChunk = 512;

struct Peak {
  float& figure;
  Integer& hz;

  // Ties go to the lower bin: only a strictly higher level as a Single takes over.
  void Consider(double smoothed, Long bin) {
    const float candidate = static_cast<float>(smoothed);
    if (candidate > figure) {
      figure = candidate;
      hz = PeakFrequency(bin);
    }
  }

  // The same for bins first..first+count-1, all finite: the chunk's highest level as a Single
  // takes over if it is higher, at the first bin that has it. The frequency is taken for that
  // bin only (no bin's frequency can overflow, so the others' cannot fail).
  void Consider(const double* smoothed, Long count, Long first) {
    // Four lanes side by side: a running maximum in one would wait on itself at every bin.
    using Doubles = VectorOf<4>::Doubles;
    using Singles = VectorOf<4>::Singles;
    Singles lanes = {figure, figure, figure, figure};
    Long k = 0;
    for (; k + 4 <= count; k += 4) {
      Doubles four;
      std::memcpy(&four, smoothed + k, sizeof four);
      const Singles candidates = __builtin_convertvector(four, Singles);
      lanes = candidates > lanes ? candidates : lanes;
    }
    float highest = std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
    for (; k < count; ++k) highest = std::max(highest, static_cast<float>(smoothed[k]));
    if (!(highest > figure)) return;
    k = 0;
    while (static_cast<float>(smoothed[k]) != highest) ++k;
    figure = highest;
    hz = PeakFrequency(first + k);
  }
};

double Smooth(double old, double block_level) {
  return old + (block_level - old) / kSmoothingDivisor;
}

// One bin's level in this block, every step checked.
double CheckedBlockLevel(double re, double im, double ln10) {
  const double magnitude = CheckFinite(std::sqrt(re * re + im * im), "bin magnitude");
  return CheckFinite(20 * std::log(magnitude + kMagnitudeFloor) / ln10, "bin level");
}

// One bin, every access and every step checked: a fault ends the pass with the bins before
// it done and this one untouched.
void UpdateBin(Long i, const SampleArray& real, const SampleArray& imag, BinArray& level,
               double ln10, Peak& peak) {
  const double block_level = CheckedBlockLevel(real[i], imag[i], ln10);
  double& smoothed = level[i];
  smoothed = CheckFinite(Smooth(smoothed, block_level), "level");
  peak.Consider(smoothed, i);
}

// Whether all of values[0..count-1] are finite; inlined into each build of its callers, so it
// runs at their width.
inline bool AllFinite(Long count, const double* values) {
  bool finite = true;
  for (Long k = 0; k < count; ++k) finite &= std::isfinite(values[k]);
  return finite;
}

// The levels of `count` bins in this block into `out`. Square roots and logarithms each run
// as a loop of their own, so bins overlap instead of each waiting on its own chain of square
// root, logarithm and division, and the square roots and divisions run several bins to an
// instruction; every bin still gets the same operations on the same operands. False if any
// level is not finite (a non-finite step leaves a non-finite level).
QUORVANE_CLONES bool BlockLevelsUnchecked(Long count, const double* re, const double* im,
                                          double ln10, double* out) noexcept {
  for (Long k = 0; k < count; ++k) out[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
  // The C library's logarithm, one bin at a time: its bits are part of the result.
  for (Long k = 0; k < count; ++k) out[k] = 20 * std::log(out[k] + kMagnitudeFloor);
  for (Long k = 0; k < count; ++k) out[k] /= ln10;
  return AllFinite(count, out);
}

// This block's levels of `count` bins, `levels`, folded into the smoothed levels `old`, into
// `out` (which may be `levels`): false if any is not finite. A non-finite step leaves a
// non-finite smoothed level, so checking that one value per bin is enough.
QUORVANE_CLONES bool SmoothedLevels(Long count, const double* levels, const double* old,
                                    double* out) noexcept {
  for (Long k = 0; k < count; ++k) out[k] = Smooth(old[k], levels[k]);
  return AllFinite(count, out);
}

// Bins first..first+count-1, all inside every array, with this block's levels in `levels`.
// Nothing is stored until the chunk is known to be finite; a chunk that is not runs again one
// bin at a time through `one_bin`, failing exactly where and as the pass defines.
template <typename OneBin>
void FoldChunk(Long first, Long count, const double* levels, BinArray& level, Peak& peak,
               OneBin one_bin) {
  double smoothed[kChunk];
  double* const stored = level.data() + first;
  if (!SmoothedLevels(count, levels, stored, smoothed)) {
    for (Long i = first; i < first + count; ++i) one_bin(i);
    return;
  }
  std::copy_n(smoothed, count, stored);
  peak.Consider(smoothed, count, first);
}

// Bins 0..top that every array holds (up to `held`) go by chunks, `chunk_levels(first, count,
// buffer)` giving a chunk's levels (in `buffer` or elsewhere); any beyond go one at a time and
// fail at the first index outside an array, as they always have.
template <typename ChunkLevels, typename OneBin>
void ChunkedPass(double top, Long held, BinArray& level, Peak& peak, ChunkLevels chunk_levels,
                 OneBin one_bin) {
  const Long in_bounds =
      top >= 0 ? std::min(static_cast<Long>(std::min(top, static_cast<double>(held))) + 1,
                          static_cast<Long>(BinArray::kUpper) + 1)
               : 0;
  for (Long first = 0; first < in_bounds; first += kChunk) {
    const Long count = std::min(kChunk, in_bounds - first);
    double buffer[kChunk];
    FoldChunk(first, count, chunk_levels(first, count, buffer), level, peak, one_bin);
  }
  for (Long i = in_bounds; i <= top; ++i) one_bin(i);
}

// After the pass: the noise reference, and the highest level turned into the signal figure.
void TakeFigures(double top, const BinArray& level, float& peak_figure, float& noise) {
  if (top > 1000) noise = static_cast<float>(level[CLng(top - kNoiseBinsBelowTop)]);
  const double highest = peak_figure;
  const double noise_magnitude = std::fabs(static_cast<double>(noise));
  // The first term tends to 0 as the highest level falls to 0; ln(0) itself has no value.
  const double figure =
      highest > 0 ? 20 * std::log(highest) / 70 * highest - noise_magnitude : -noise_magnitude;
  peak_figure = static_cast<float>(CheckFinite(figure, "signal figure"));
}
}  // namespace

void LevelPass(double fft_size, const SampleArray& real, const SampleArray& imag, BinArray& level,
               float& peak_figure, Integer& peak_hz, float& noise) {
  peak_figure = 0;
  const double top = fft_size / 2;
  const double ln10 = std::log(10.0);
  Peak peak{peak_figure, peak_hz};
  ChunkedPass(
      top, static_cast<Long>(SampleArray::kUpper), level, peak,
      [&](Long first, Long count, double* buffer) {
        BlockLevelsUnchecked(count, real.data() + first, imag.data() + first, ln10, buffer);
        return buffer;
      },
      [&](Long i) { UpdateBin(i, real, imag, level, ln10, peak); });
  TakeFigures(top, level, peak_figure, noise);
}

void BlockLevels(double fft_size, std::span<const double> real, std::span<const double> imag,
                 std::span<double> levels) {
  const Long bins = CLng(fft_size / 2) + 1;
  if (bins < 1 || real.size() < static_cast<std::size_t>(bins) ||
      imag.size() < static_cast<std::size_t>(bins) ||
      levels.size() < static_cast<std::size_t>(bins)) {
    RaiseSubscript("block levels of " + std::to_string(bins) + " bins");
  }
  const double ln10 = std::log(10.0);
  if (BlockLevelsUnchecked(bins, real.data(), imag.data(), ln10, levels.data())) return;
  for (Long i = 0; i < bins; ++i) {
    // Only a fault comes here: the checked step raises the pass's own error for it.
    if (!std::isfinite(levels[i])) CheckedBlockLevel(real[i], imag[i], ln10);
  }
}

void FoldLevels(double fft_size, std::span<const double> levels, BinArray& level,
                float& peak_figure, Integer& peak_hz, float& noise) {
  peak_figure = 0;
  const double top = fft_size / 2;
  Peak peak{peak_figure, peak_hz};
  const auto fold_bin = [&](Long i) {
    double& smoothed = level[i];
    smoothed = CheckFinite(Smooth(smoothed, levels[static_cast<std::size_t>(i)]), "level");
    peak.Consider(smoothed, i);
  };
  ChunkedPass(
      top, static_cast<Long>(levels.size()) - 1, level, peak,
      [&](Long first, Long, double*) { return levels.data() + first; }, fold_bin);
  TakeFigures(top, level, peak_figure, noise);
}

}  // namespace quorvane
