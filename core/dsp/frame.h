#pragma once

#include <algorithm>
#include <functional>

#include "common/numeric.h"
#include "dsp/fft.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

// Reads sample `index` of the captured block as a fraction of full scale into `out`.
using SampleReader = std::function<void(Long index, double& out)>;

// Loads one block of fft_size samples into real[0..N-1], zeroes imag[0..N-1] and transforms
// the pair in place. No window, offset removal or scaling: the transform sees the raw
// fractions. `last_sample` receives each sample as it is read (the reader's out-parameter).
// Elements N and above are not written. `read_sample` is any callable of SampleReader's
// shape; taking it as a template lets each sample's read be a direct call.
template <typename ReadSample>
void LoadFrame(double fft_size, ReadSample&& read_sample, double& last_sample, SampleArray& real,
               SampleArray& imag) {
  const Long last = CLng(fft_size - 1);
  // Indices the arrays hold are stored without a check each; any beyond fail at the first
  // store outside the arrays, as they always have.
  const Long in_bounds = std::min<Long>(last, SampleArray::kUpper);
  double* const re = real.data();
  double* const im = imag.data();
  for (Long i = 0; i <= in_bounds; ++i) {
    read_sample(i, last_sample);
    re[i] = last_sample;
    im[i] = 0;
  }
  for (Long i = in_bounds + 1; i <= last; ++i) {
    read_sample(i, last_sample);
    real[i] = last_sample;
    imag[i] = 0;
  }
  FFT(CInt(fft_size), {re, real.size()}, {im, imag.size()});
}

}  // namespace quorvane
