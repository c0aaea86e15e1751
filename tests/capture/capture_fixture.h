#pragma once

// What every capture test sets up: a recorder for shown texts, the window's sample rate and
// block size, and a check that no memory block outlives the test.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/module1.h"
#include "capture/wave_drivers.h"

namespace quorvane::testing {

class CaptureFixture {
 protected:
  explicit CaptureFixture(Long buffer_bytes) {
    SetMessageBox([this](const std::string& text) { shown.push_back(text); });
    state.strSampleRate = "22050";
    state.lngBufferBytes = buffer_bytes;
  }
  ~CaptureFixture() {
    if (state.blnRecording) StopCapture(state);
    SetMessageBox(nullptr);
    UsePulseWaveInput();
    EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  }

  // Polls the done bit as the window's timer does; false if it is not set within 5 s.
  bool WaitDone() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!CaptureBufferDone(state)) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::vector<double> Block() const {
    std::vector<double> values(static_cast<std::size_t>(state.lngBufferBytes / 2));
    for (Long i = 0; i < static_cast<Long>(values.size()); ++i) GetSample(state, i, values[i]);
    return values;
  }

  CaptureState state;
  std::vector<std::string> shown;
  std::size_t blocks_before = LiveGlobalBlocks();
};

}  // namespace quorvane::testing
