#pragma once

// Numeric rules shared by every subsystem: Integer is 16-bit, Long 32-bit; a Double becomes
// one by rounding to nearest with ties to even, and anything outside the type's range is an
// overflow error, never a wrap-around.

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/runtime_error.h"

namespace quorvane {

using Integer = std::int16_t;
using Long = std::int32_t;

namespace detail {
template <typename T>
T RoundChecked(double value, const char* type_name) {
  // nearbyint rounds with the current mode, which is round-to-nearest-even throughout.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= static_cast<double>(std::numeric_limits<T>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<T>::max()))) {
    RaiseOverflow(std::to_string(value) + " does not fit in " + type_name);
  }
  return static_cast<T>(rounded);
}
}  // namespace detail

// Double -> Integer (16-bit), nearest with ties to even.
inline Integer CInt(double value) {
  return detail::RoundChecked<Integer>(value, "an Integer");
}

// Double -> Long (32-bit), nearest with ties to even.
inline Long CLng(double value) {
  return detail::RoundChecked<Long>(value, "a Long");
}

// Integer arithmetic that raises an overflow error instead of wrapping.
template <typename T>
T CheckedAdd(T a, T b) {
  T result;
  if (__builtin_add_overflow(a, b, &result)) RaiseOverflow("integer addition");
  return result;
}
template <typename T>
T CheckedSub(T a, T b) {
  T result;
  if (__builtin_sub_overflow(a, b, &result)) RaiseOverflow("integer subtraction");
  return result;
}
template <typename T>
T CheckedMul(T a, T b) {
  T result;
  if (__builtin_mul_overflow(a, b, &result)) RaiseOverflow("integer multiplication");
  return result;
}

// The largest whole number not above the value (Int(12.7) = 12, Int(-12.3) = -13).
inline double Int(double value) {
  return std::floor(value);
}

// A non-finite result is how an invalid operation, a division by zero or an overflow shows
// up under the default IEEE masks; it is raised as a floating-point fault.
inline double CheckFinite(double value, const char* what) {
  if (!std::isfinite(value)) RaiseFloatingPoint(what);
  return value;
}

}  // namespace quorvane
