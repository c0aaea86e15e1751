#pragma once

// What every capture test sets up: a recorder for shown texts, the window's sample rate, and a
// check that no memory block outlives the test. The Pulse variant adds a server to record from.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/module1.h"
#include "capture/wave_drivers.h"
#include "pulse_server.h"

namespace quorvane::testing {

class CaptureFixture : public ::testing::Test {
 protected:
  explicit CaptureFixture(Long buffer_bytes) : buffer_bytes_(buffer_bytes) {}

  void SetUp() override {
    SetMessageBox([this](const std::string& text) { shown.push_back(text); });
    state.strSampleRate = "22050";
    state.lngBufferBytes = buffer_bytes_;
    blocks_before = LiveGlobalBlocks();
  }
  void TearDown() override {
    if (state.blnRecording) StopCapture(state);
    SetMessageBox(nullptr);
    UsePulseWaveInput();
    EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  }

  // Polls the done bit as the window's timer does; -1 after `limit`, else milliseconds.
  double WaitDone(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto start = std::chrono::steady_clock::now();
    while (!CaptureBufferDone(state)) {
      if (std::chrono::steady_clock::now() - start > limit) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  std::vector<double> Block() const {
    std::vector<double> values(static_cast<std::size_t>(state.lngBufferBytes / 2));
    for (Long i = 0; i < static_cast<Long>(values.size()); ++i) GetSample(state, i, values[i]);
    return values;
  }

  CaptureState state;
  std::vector<std::string> shown;
  std::size_t blocks_before = 0;

 private:
  Long buffer_bytes_;
};

// Records through the PulseAudio driver from `server`, in blocks of 8192 samples.
class PulseCaptureFixture : public CaptureFixture {
 protected:
  PulseCaptureFixture(PulseServer server_in, std::string no_server)
      : CaptureFixture(16384), server(std::move(server_in)), no_server_(std::move(no_server)) {}

  void SetUp() override {
    ASSERT_TRUE(server.ok()) << no_server_;
    server.UseFromThisProcess();
    UsePulseWaveInput();
    CaptureFixture::SetUp();
  }

  PulseServer server;

 private:
  std::string no_server_;
};

}  // namespace quorvane::testing
