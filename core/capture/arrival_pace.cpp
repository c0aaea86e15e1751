#include "capture/arrival_pace.h"

#include <algorithm>

namespace quorvane::wavein {

void ArrivalPace::Arrived(std::uint64_t now_us, std::size_t bytes) {
  if (bytes == 0) return;
  if (largest_bytes_ == 0) first_arrival_us_ = now_us;
  if (after_break_ || now_us - burst_start_us_ > kBurstWindowUs) {
    if (!after_break_) {
      longest_interval_us_ = std::max(longest_interval_us_, now_us - burst_start_us_);
    }
    after_break_ = false;
    burst_start_us_ = now_us;
    burst_bytes_ = 0;
  }
  burst_bytes_ += bytes;
  largest_bytes_ = std::max(largest_bytes_, burst_bytes_);
}

std::uint64_t ArrivalPace::UsualWaitUs() const {
  if (longest_interval_us_ == 0) return 0;
  const std::uint64_t largest_us = std::uint64_t{largest_bytes_} * 1'000'000 / bytes_per_second_;
  return std::max(largest_us, longest_interval_us_);
}

}  // namespace quorvane::wavein
