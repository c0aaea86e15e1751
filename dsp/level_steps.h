#pragma once

#include <span>

#include "common/numeric.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

// LevelPass in its two halves, for callers that transform blocks ahead on other threads: the
// levels of one block depend on that block alone, the smoothing and the figures on every block
// before it. BlockLevels then FoldLevels gives LevelPass's results to the bit.

// Each bin's level in this block, 20*log10(|X| + 1e-7), for bins 0..N/2 (N/2 + 1 values).
void BlockLevels(double fft_size, std::span<const double> real, std::span<const double> imag,
                 std::span<double> levels);

// Folds one block's levels into the smoothed spectrum and takes the peak, the noise reference
// and the signal figure, as LevelPass does.
void FoldLevels(double fft_size, std::span<const double> levels, BinArray& level,
                float& peak_figure, Integer& peak_hz, float& noise);

}  // namespace quorvane
