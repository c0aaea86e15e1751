#include "dsp/frame.h"

#include "dsp/fft.h"

namespace quorvane {

void LoadFrame(double fft_size, const SampleReader& read_sample, double& last_sample,
               SampleArray& real, SampleArray& imag) {
  const Long last = CLng(fft_size - 1);
  for (Long i = 0; i <= last; ++i) {
    read_sample(i, last_sample);
    real[i] = last_sample;
    imag[i] = 0;
  }
  const Integer n = CInt(fft_size);
  FFT(n, {real.data(), real.size()}, {imag.data(), imag.size()});
}

}  // namespace quorvane
