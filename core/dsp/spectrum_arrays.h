#pragma once

#include "common/fixed_array.h"

namespace quorvane {

// Room for up to 16384 samples per block (indices 0..16384) and 8194 bins (0..8193); the
// analyser uses 8192 samples and bins 0..4096. Sample arrays start on a cache line, so the
// FFT's vectors never straddle two.
using SampleArray = FixedArray<double, 16384, 64>;
using BinArray = FixedArray<double, 8193>;

}  // namespace quorvane
