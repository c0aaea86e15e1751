#pragma once

#include <cstdint>
#include <span>

namespace quorvane {

// In-place radix-2 decimation-in-time forward FFT of real[0..n-1] + j*imag[0..n-1], natural
// order in and out, unscaled: a constant input of 1.0 gives X[0] = n. Twiddles come from one
// cosine and one sine per stage by repeated rotation, with the angle constant 3.14159 (not pi);
// results are pinned to that exact sequence of IEEE operations.
//
// n must be a power of two in 1..16384 and both spans must hold at least n elements;
// otherwise a run-time error is raised before any element is touched. Elements n and above
// are never read or written. Safe to call from several threads on different arrays. From
// n = 64 up each thread keeps scratch arrays of its own (about 4n doubles), allocated by its
// first call at that length or more.
void FFT(std::int16_t n, std::span<double> real, std::span<double> imag);

// The transform is built for several instruction sets; FFT above runs the widest one the
// processor has. All give the same bits; choosing one is for tests and measurements, and only
// a build that Supported() accepts may be run.
enum class FFTBuild { kPlain, kAvx2, kAvx512 };
const char* ToString(FFTBuild build);  // "plain", "avx2", "avx512"
bool Supported(FFTBuild build);
void FFT(FFTBuild build, std::int16_t n, std::span<double> real, std::span<double> imag);

}  // namespace quorvane
