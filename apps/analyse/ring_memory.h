#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace quorvane {

// Memory for everything a run ahead keeps in flight, in one piece that is handed out in order.
// A fresh page costs a fault the first time it is touched, and faults are dear (in a virtual
// machine above all): on huge pages, where the system gives them, a few faults cover it all.
class RingMemory {
 public:
  explicit RingMemory(std::size_t bytes) : size_(RoundUp(bytes, kHugePage) + kHugePage) {
    void* const mapped =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<std::byte*>(mapped);
    next_ = base_ + (kHugePage - reinterpret_cast<std::uintptr_t>(base_) % kHugePage) % kHugePage;
    // Only a hint: without it the pages are ordinary ones.
    madvise(next_, size_ - static_cast<std::size_t>(next_ - base_), MADV_HUGEPAGE);
  }
  RingMemory(const RingMemory&) = delete;
  RingMemory& operator=(const RingMemory&) = delete;
  ~RingMemory() { munmap(base_, size_); }

  // `count` elements, unset, on a cache line of their own.
  template <typename T>
  T* Take(std::size_t count) {
    T* const taken = reinterpret_cast<T*>(next_);
    next_ += RoundUp(count * sizeof(T), kCacheLine);
    return taken;
  }

  static constexpr std::size_t kCacheLine = 64;

  static constexpr std::size_t RoundUp(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  std::size_t size_;
  std::byte* base_ = nullptr;
  std::byte* next_ = nullptr;
};

}  // namespace quorvane
