#pragma once

#include <optional>
#include <span>

namespace quorvane {

// The frequency of a block's one clear spectral line, in bins (multiply by rate / N for Hz),
// from the block's complex spectrum X[0..N-1] as the FFT leaves it: unscaled, no window.
//
// At the strongest bin k in 1..N/2-1, Quinn's second estimator (IEEE Trans. SP 45(3), 1997)
// takes the offset d from the real parts of X[k-1]/X[k] and X[k+1]/X[k]; the line is at k + d.
// There is no clear line, and no result, unless all of these hold:
//  - |X[k]| is at least 20 dB above the median magnitude of bins 0..N/2 (with the level
//    floor of 1e-7 added to both, as levels are);
//  - |d| <= 0.5 (with a thousandth to spare for a line midway between two bins);
//  - bins k-4..k+4 look like one steady tone: each is within a tenth of |X[k]| of the
//    rectangular-window kernel of one complex exponential at k + d, fitted to X[k].
// Silence, noise and two tones a few bins apart fail; a tone at 0 dB signal-to-noise per
// sample passes. N is the spans' common size, a power of two of at least 16.
std::optional<double> FineFrequencyBins(std::span<const double> real, std::span<const double> imag);

}  // namespace quorvane
