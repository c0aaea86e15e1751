#pragma once

// The compiler's vector types that the analysis's loops use, `Lanes` values side by side:
// plain C++ arithmetic on them (+, *, /, comparisons) becomes one instruction for all lanes,
// in the same IEEE operations a scalar loop would do, lane by lane. The width a build runs at
// is its target's (common/dispatch.h); four doubles fill an AVX2 register.

#include <cstdint>

namespace quorvane {

// Typedefs, not aliases: GCC drops a vector_size that depends on a template parameter from an
// alias declaration, and the type would quietly be a scalar.
template <int Lanes>
struct VectorOf {
  typedef double Doubles __attribute__((vector_size(Lanes * sizeof(double))));
  typedef float Singles __attribute__((vector_size(Lanes * sizeof(float))));
  typedef std::int32_t Ints __attribute__((vector_size(Lanes * sizeof(std::int32_t))));
  typedef std::int16_t Shorts __attribute__((vector_size(Lanes * sizeof(std::int16_t))));
};

}  // namespace quorvane
