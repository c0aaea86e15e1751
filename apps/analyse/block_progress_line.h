#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "apps/analyse/sound_input.h"
#include "common/fixed_sizes.h"

namespace quorvane {

// A progress line on a terminal, for inputs long enough to wait for.
class BlockProgressLine {
 public:
  explicit BlockProgressLine(std::int64_t expected_samples)
      : expected_blocks_(expected_samples / static_cast<std::int64_t>(kBlockSamples)),
        enabled_(isatty(STDERR_FILENO) &&
                 (expected_samples < 0 || expected_samples > 5 * SoundInput::kRate)) {}

  void Block(std::int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    if (expected_blocks_ > 0) {
      std::fprintf(stderr, "\r%lld of %lld blocks (%d%%)", static_cast<long long>(done),
                   static_cast<long long>(expected_blocks_),
                   static_cast<int>(100 * done / expected_blocks_));
    } else {
      std::fprintf(stderr, "\r%lld blocks", static_cast<long long>(done));
    }
    shown_ = true;
  }
  void Finish() const {
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  std::int64_t expected_blocks_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace quorvane
