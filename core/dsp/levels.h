#pragma once

#include <span>

#include "common/numeric.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

// Hz per bin that the peak readout counts. It is deliberately not 22050 / 16384: the readout
// has always used this figure, and users compare readings across versions.
inline constexpr double kPeakHzPerHalfBin = 1.344855;

// The block's levels, folded into the smoothed spectrum, and the figures taken from them.
//
// For bins 0..N/2: level = 20*log10(|X| + 1e-7) (so never below -140 dB); each block
// contributes one tenth to `level` (the smoothed spectrum, which persists between blocks).
// `peak_figure` ends as the signal figure; during the pass it is the highest smoothed level
// as a Single, above 0 dB only, ties to the lower bin. `peak_hz` gets that bin's frequency
// (unchanged when no level is above 0 dB). `noise` is the smoothed level of bin N/2 - 800.
//
// The signal figure is 20*ln(max)/70*max - |noise|; when no bin is above 0 dB it is the
// formula's limit, -|noise|, so quiet input keeps the display running.
void LevelPass(double fft_size, const SampleArray& real, const SampleArray& imag, BinArray& level,
               float& peak_figure, Integer& peak_hz, float& noise);

// LevelPass in two halves, for callers that transform blocks ahead on other threads: a block's
// levels depend on that block alone, the smoothing and the figures on every block before it.
// BlockLevels then FoldLevels gives LevelPass's results to the bit.
//
// Each bin's level in this block, 20*log10(|X| + 1e-7), for bins 0..N/2 (N/2 + 1 values).
void BlockLevels(double fft_size, std::span<const double> real, std::span<const double> imag,
                 std::span<double> levels);
// Folds one block's levels into the smoothed spectrum and takes the figures, as LevelPass.
void FoldLevels(double fft_size, std::span<const double> levels, BinArray& level,
                float& peak_figure, Integer& peak_hz, float& noise);

// Frequency in Hz that the peak readout shows for a bin.
inline Integer PeakFrequency(Long bin) {
  return CInt(bin * 2.0 * kPeakHzPerHalfBin);
}

}  // namespace quorvane
