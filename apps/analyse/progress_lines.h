#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace quorvane {

// A progress line on a terminal, for inputs long enough to wait for (over 5 s of sound, or of
// unknown length): blocks done, of how many. Standard error; nothing when it is no terminal.
class BlockProgressLine {
 public:
  // `expected_samples`: the input's length, negative when unknown.
  explicit BlockProgressLine(std::int64_t expected_samples);

  // `done` blocks analysed; shown at most every 200 ms.
  void Block(std::int64_t done);
  // Clears the line, if one was shown.
  void Finish() const;

 private:
  std::int64_t expected_blocks_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// The --out run's progress line on a terminal (files done, hours of sound done, time left) and
// its one-line summary at the end. Any thread reports to it.
class FolderProgressLine {
 public:
  FolderProgressLine(std::size_t files, std::int64_t expected_samples);

  void Block();
  // An input finished; `failure` says why it failed, or is empty.
  void FileDone(const std::string& failure);
  void Summary(const std::string& dir);

 private:
  void Show();
  void ClearLine();

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
