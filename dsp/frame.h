#pragma once

#include <functional>

#include "common/numeric.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

// Reads sample `index` of the captured block as a fraction of full scale into `out`.
using SampleReader = std::function<void(Long index, double& out)>;

// Loads one block of fft_size samples into real[0..N-1], zeroes imag[0..N-1] and transforms
// the pair in place. No window, offset removal or scaling: the transform sees the raw
// fractions. `last_sample` receives each sample as it is read (the reader's out-parameter).
// Elements N and above are not written.
void LoadFrame(double fft_size, const SampleReader& read_sample, double& last_sample,
               SampleArray& real, SampleArray& imag);

}  // namespace quorvane
