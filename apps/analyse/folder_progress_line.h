#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "apps/analyse/sound_input.h"
#include "common/fixed_sizes.h"

namespace quorvane {

// The --out run's progress line on a terminal (files done, hours of sound done, time left) and
// its one-line summary at the end. Any thread reports to it.
class FolderProgressLine {
 public:
  FolderProgressLine(std::size_t files, std::int64_t expected_samples)
      : files_(files), expected_samples_(expected_samples), enabled_(isatty(STDERR_FILENO)) {}

  void Block() {
    done_samples_ += static_cast<std::int64_t>(kBlockSamples);
    if (!enabled_) return;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) return;  // another thread is showing it
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    Show();
  }

  void FileDone(const std::string& failure) {
    std::lock_guard lock(mutex_);
    ++files_done_;
    if (!failure.empty()) {
      ClearLine();
      std::fprintf(stderr, "quorvane-analyse: %s\n", failure.c_str());
      ++failed_;
    }
    if (enabled_) Show();
  }

  void Summary(const std::string& dir) {
    std::lock_guard lock(mutex_);
    ClearLine();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr,
                 "quorvane-analyse: %zu of %zu files written to %s, %zu failed; %s of sound in "
                 "%.1f s\n",
                 files_ - failed_, files_, dir.c_str(), failed_,
                 SoundDuration(done_samples_).c_str(), seconds);
  }

 private:
  // Hours, minutes and seconds, 1:02:03.
  static std::string Duration(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
  }
  static std::string SoundDuration(std::int64_t samples) {
    return Duration(samples / SoundInput::kRate);
  }

  void Show() {
    const std::int64_t done = done_samples_;
    std::fprintf(stderr, "\r\033[K%zu of %zu files, %s of %s of sound", files_done_, files_,
                 SoundDuration(done).c_str(), SoundDuration(expected_samples_).c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (seconds >= 1 && done > 0 && expected_samples_ > done) {
      const auto left = static_cast<long long>(
          seconds * static_cast<double>(expected_samples_ - done) / static_cast<double>(done));
      std::fprintf(stderr, ", %s left", Duration(left).c_str());
    }
    shown_ = true;
  }

  void ClearLine() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  const std::size_t files_;
  const std::int64_t expected_samples_;
  const bool enabled_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<std::int64_t> done_samples_ = 0;
  std::mutex mutex_;
  std::size_t files_done_ = 0;
  std::size_t failed_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace quorvane
