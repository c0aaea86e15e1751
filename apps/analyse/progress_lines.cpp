#include "apps/analyse/progress_lines.h"

#include <unistd.h>

#include <cstdio>

#include "apps/analyse/sound_input.h"
#include "common/fixed_sizes.h"

namespace quorvane {

namespace {

// Hours, minutes and seconds, 1:02:03.
std::string Duration(long long seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return text;
}

std::string SoundDuration(std::int64_t samples) {
  return Duration(samples / SoundInput::kRate);
}

}  // namespace

BlockProgressLine::BlockProgressLine(std::int64_t expected_samples)
    : expected_blocks_(expected_samples / static_cast<std::int64_t>(kBlockSamples)),
      enabled_(isatty(STDERR_FILENO) &&
               (expected_samples < 0 || expected_samples > 5 * SoundInput::kRate)) {}

void BlockProgressLine::Block(std::int64_t done) {
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

void BlockProgressLine::Finish() const {
  if (shown_) std::fputs("\r\033[K", stderr);
}

FolderProgressLine::FolderProgressLine(std::size_t files, std::int64_t expected_samples)
    : files_(files), expected_samples_(expected_samples), enabled_(isatty(STDERR_FILENO)) {}

void FolderProgressLine::Block() {
  done_samples_ += static_cast<std::int64_t>(kBlockSamples);
  if (!enabled_) return;
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock) return;  // another thread is showing it
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  Show();
}

void FolderProgressLine::FileDone(const std::string& failure) {
  std::lock_guard lock(mutex_);
  ++files_done_;
  if (!failure.empty()) {
    ClearLine();
    std::fprintf(stderr, "quorvane-analyse: %s\n", failure.c_str());
    ++failed_;
  }
  if (enabled_) Show();
}

void FolderProgressLine::Summary(const std::string& dir) {
  std::lock_guard lock(mutex_);
  ClearLine();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(stderr,
               "quorvane-analyse: %zu of %zu files written to %s, %zu failed; %s of sound in "
               "%.1f s\n",
               files_ - failed_, files_, dir.c_str(), failed_, SoundDuration(done_samples_).c_str(),
               seconds);
}

void FolderProgressLine::Show() {
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

void FolderProgressLine::ClearLine() {
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

}  // namespace quorvane
