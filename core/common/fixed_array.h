#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/runtime_error.h"

namespace quorvane {

// An array with the fixed index range 0..Upper whose every indexed access is bounds-checked.
// A routine that has validated its whole index range up front may work on data() directly.
// Elements are zero when the array is created; element 0 is aligned to Align bytes.
template <typename T, std::size_t Upper, std::size_t Align = alignof(T)>
class FixedArray {
 public:
  static constexpr std::size_t kUpper = Upper;
  static constexpr std::size_t kSize = Upper + 1;

  T& operator[](std::int64_t index) { return storage_[Checked(index)]; }
  const T& operator[](std::int64_t index) const { return storage_[Checked(index)]; }

  static constexpr bool InBounds(std::int64_t index) noexcept {
    return index >= 0 && index <= static_cast<std::int64_t>(Upper);
  }

  T* data() noexcept { return storage_.data(); }
  const T* data() const noexcept { return storage_.data(); }
  static constexpr std::size_t size() noexcept { return kSize; }

  void Fill(const T& value) { storage_.fill(value); }

 private:
  static std::size_t Checked(std::int64_t index) {
    if (!InBounds(index)) [[unlikely]] {
      RaiseOutside(index);
    }
    return static_cast<std::size_t>(index);
  }

  // Apart from Checked, so that every access inlines to a compare and a branch.
  [[noreturn, gnu::cold, gnu::noinline]] static void RaiseOutside(std::int64_t index) {
    RaiseSubscript("index " + std::to_string(index) + " outside 0.." + std::to_string(Upper));
  }

  alignas(Align) std::array<T, kSize> storage_{};
};

}  // namespace quorvane
