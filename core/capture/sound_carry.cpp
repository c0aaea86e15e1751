#include "capture/sound_carry.h"

#include <algorithm>
#include <utility>

namespace quorvane::wavein {

SoundCarry::SoundCarry(std::size_t limit, std::uint32_t bytes_per_second, Clock now)
    : limit_(limit & ~std::size_t{1}), bytes_per_second_(bytes_per_second), now_(std::move(now)) {}

std::size_t SoundCarry::Arrive(const void* data, std::size_t bytes, BufferQueue* recording) {
  const auto* from = static_cast<const char*>(data);
  const std::size_t skipped = std::min(skip_, bytes);
  skip_ -= skipped;
  if (from != nullptr) from += skipped;
  bytes -= skipped;
  const std::size_t taken = recording == nullptr ? 0 : recording->Fill(from, bytes);
  if (recording == nullptr || recording->empty()) MarkBlockEnd();
  Keep(from == nullptr ? nullptr : from + taken, bytes - taken);
  return taken;
}

void SoundCarry::Resume(BufferQueue& recording) {
  if (recording.empty()) return;
  if (between_blocks_) {
    // Whole samples of the pause, from the block's end to now.
    const std::uint64_t pause_us = now_() - block_end_;
    const std::size_t pause =
        static_cast<std::size_t>(pause_us * bytes_per_second_ / 1'000'000) & ~std::size_t{1};
    // Of what arrived since the block's end, the oldest part is gone already past the limit.
    const std::size_t gone = since_block_end_ - kept_.size();
    const std::size_t drop = pause > gone ? std::min(pause - gone, kept_.size()) : 0;
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
    skip_ = pause > since_block_end_ ? pause - since_block_end_ : 0;
    between_blocks_ = false;
  }
  const std::size_t taken = recording.Fill(kept_.data(), kept_.size());
  kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(taken));
  if (recording.empty()) MarkBlockEnd();
}

void SoundCarry::Clear() {
  kept_.clear();
  between_blocks_ = false;
  since_block_end_ = skip_ = 0;
}

void SoundCarry::MarkBlockEnd() {
  if (between_blocks_) return;
  between_blocks_ = true;
  block_end_ = now_();
  // What is kept now (a buffer smaller than what was kept took its part) came after the end.
  since_block_end_ = kept_.size();
}

void SoundCarry::Keep(const char* data, std::size_t bytes) {
  if (bytes == 0) return;
  since_block_end_ += bytes;
  if (bytes >= limit_) {
    if (data != nullptr) data += bytes - limit_;
    bytes = limit_;
    kept_.clear();
  }
  const std::size_t old_size = kept_.size();
  kept_.resize(old_size + bytes);
  if (data != nullptr) {
    std::copy_n(data, bytes, kept_.begin() + static_cast<std::ptrdiff_t>(old_size));
  } else {
    std::fill_n(kept_.begin() + static_cast<std::ptrdiff_t>(old_size), bytes, 0);
  }
  if (kept_.size() > limit_) {
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(kept_.size() - limit_));
  }
}

}  // namespace quorvane::wavein
