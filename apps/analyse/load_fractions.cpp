#include "apps/analyse/load_fractions.h"

#include <cstddef>
#include <cstring>

#include "common/dispatch.h"
#include "common/fixed_sizes.h"
#include "common/vector_types.h"

namespace quorvane {

namespace {

// The builds for each processor, behind this file's one entry: a multiversioned function
// declared in a header as well needs the attribute on every declaration for clang and on none
// but the definition for GCC; an internal one needs neither.
QUORVANE_CLONES void LoadFractionsBuilt(const std::int16_t* samples, double* real,
                                        double* imag) noexcept {
  constexpr std::size_t kLanes = 4;
  using Shorts = VectorOf<kLanes>::Shorts;
  using Ints = VectorOf<kLanes>::Ints;
  using Doubles = VectorOf<kLanes>::Doubles;
  for (std::size_t i = 0; i < kBlockSamples; i += kLanes) {
    Shorts shorts;
    std::memcpy(&shorts, samples + i, sizeof shorts);
    const Doubles fractions =
        __builtin_convertvector(__builtin_convertvector(shorts, Ints), Doubles) / 32768.0;
    const Doubles zeros = {};
    std::memcpy(real + i, &fractions, sizeof fractions);
    std::memcpy(imag + i, &zeros, sizeof zeros);
  }
}

}  // namespace

void LoadFractions(const std::int16_t* samples, double* real, double* imag) noexcept {
  LoadFractionsBuilt(samples, real, imag);
}

}  // namespace quorvane
