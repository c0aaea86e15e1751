#pragma once

#include <cstdint>

namespace quorvane {

// The block's samples as GetSample reads them, fractions of full scale, with no imaginary part:
// the frame as LoadFrame leaves it before the transform, four samples to an instruction. The
// zeros go in the same pass, while the lines are in the cache anyway.
// `samples`, `real` and `imag` hold a block (kBlockSamples) each. Built for several processors,
// the best of them chosen when the program loads.
void LoadFractions(const std::int16_t* samples, double* real, double* imag) noexcept;

}  // namespace quorvane
