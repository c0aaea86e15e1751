// Recording from the real PulseAudio server that the CTest fixture started: a known tone
// through the capture routines, the start/stop cycle, and opening with no server at all.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture_fixture.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using testing::MillisecondsSince;
using testing::PulseServer;

constexpr int kToneBin = 372;  // 1001.3 Hz
constexpr double kToneAmplitude = 0.5;

class PulseCaptureTest : public testing::PulseCaptureFixture {
 protected:
  PulseCaptureTest()
      : PulseCaptureFixture(PulseServer::Shared(),
                            "no shared server; run through ctest (fixture capture_pulse)") {}
};

// ---- Recording ---------------------------------------------------------------------------

TEST_F(PulseCaptureTest, ARecordedToneHasItsLevelAndFrequency) {
  testing::Player player(server.dir(), testing::Tone(kToneBin, kToneAmplitude, 40));
  ASSERT_TRUE(player.running());
  std::this_thread::sleep_for(400ms);  // let the player's stream reach the sink

  StartCapture(state);
  ASSERT_TRUE(state.blnRecording);
  ASSERT_GE(WaitDone(), 0);
  EXPECT_EQ(state.whdr.dwBytesRecorded, 16384u);
  const std::vector<double> block = Block();

  // A whole number of cycles per block: all the energy lands in one bin, |X| = A * N / 2.
  const double peak = testing::DftMagnitude(block, kToneBin);
  EXPECT_NEAR(peak, kToneAmplitude * 8192 / 2, 0.01 * kToneAmplitude * 8192 / 2);
  for (int bin : {kToneBin - 3, kToneBin + 3, kToneBin / 2, 2 * kToneBin}) {
    EXPECT_LT(testing::DftMagnitude(block, bin), peak / 1000) << "bin " << bin;
  }
  double largest = 0;
  for (double v : block) largest = std::max(largest, std::abs(v));
  EXPECT_NEAR(largest, kToneAmplitude, 0.001);
  EXPECT_TRUE(shown.empty());
}

TEST_F(PulseCaptureTest, StopWithTheBufferHalfFull) {
  StartCapture(state);
  ASSERT_TRUE(state.blnRecording);
  std::this_thread::sleep_for(185ms);
  EXPECT_FALSE(CaptureBufferDone(state));
  const auto start = std::chrono::steady_clock::now();
  StopCapture(state);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_FALSE(state.blnRecording);
  EXPECT_TRUE(state.whdr.dwFlags & WHDR_DONE);  // handed back by the reset
  EXPECT_GT(state.whdr.dwBytesRecorded, 0u);
  EXPECT_LT(state.whdr.dwBytesRecorded, 16384u);
  EXPECT_EQ(LiveGlobalBlocks(), blocks_before);

  // The next block starts cleanly and fills completely.
  StartCapture(state);
  ASSERT_GE(WaitDone(), 0);
  EXPECT_EQ(state.whdr.dwBytesRecorded, 16384u);
  EXPECT_TRUE(shown.empty());
}

TEST_F(PulseCaptureTest, ConsecutiveBlocksLoseLittleSound) {
  // A counting signal shows exactly how many samples fell between two blocks.
  std::vector<std::int16_t> ramp(8192 * 8);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i % 8192 + 1);
  testing::Player player(server.dir(), ramp);
  std::this_thread::sleep_for(400ms);
  state.lngBufferBytes = 4410;  // 0.1 s, so the test stays short
  int previous_last = -1;
  int measured = 0;
  for (int block = 0; block < 6; ++block) {
    StartCapture(state);
    ASSERT_GE(WaitDone(), 0);
    const std::vector<double> samples = Block();
    const int first = static_cast<int>(std::lround(samples.front() * 32768));
    const int last = static_cast<int>(std::lround(samples.back() * 32768));
    StopCapture(state);
    if (previous_last > 0 && first > 0) {
      const int lost = ((first - previous_last - 1) % 8192 + 8192) % 8192;
      EXPECT_LT(lost, 22050 / 2) << "block " << block;  // far less than half a second
      ++measured;
    }
    previous_last = last;
  }
  EXPECT_GE(measured, 3);
}

// ---- Cycles ------------------------------------------------------------------------------

TEST_F(PulseCaptureTest, HundredsOfStartStopCyclesAreClean) {
  state.lngBufferBytes = 882;  // 20 ms
  const int threads_before = testing::ThreadCount();
  for (int cycle = 0; cycle < 300; ++cycle) {
    StartCapture(state);
    ASSERT_TRUE(state.blnRecording) << "cycle " << cycle;
    // Every tenth block is recorded to the end, the others are cut short.
    if (cycle % 10 == 0) {
      ASSERT_GE(WaitDone(), 0) << "cycle " << cycle;
    }
    StopCapture(state);
  }
  EXPECT_TRUE(shown.empty()) << shown.front();
  EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  UsePulseWaveInput();  // drops the kept connection and its thread
  EXPECT_EQ(testing::ThreadCount(), threads_before);
}

// ---- No server ---------------------------------------------------------------------------

TEST_F(PulseCaptureTest, NoServerIsAResultWithItsTextAndLeavesNothingBehind) {
  setenv("PULSE_SERVER", ("unix:" + server.dir() + "/no-such-socket").c_str(), 1);
  UsePulseWaveInput();
  const int threads_before = testing::ThreadCount();
  const auto start = std::chrono::steady_clock::now();
  StartCapture(state);
  const double took = MillisecondsSince(start);
  EXPECT_LT(took, 5000);
  EXPECT_FALSE(state.blnRecording);
  EXPECT_EQ(state.lngWaveResult, static_cast<Long>(MMSYSERR_BADDEVICEID));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "There is no sound input device with that number. Sound server: Connection refused.");
  EXPECT_EQ(state.hBuffer, nullptr);
  EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  EXPECT_EQ(testing::ThreadCount(), threads_before);
  std::cout << "[observed] no server: result " << state.lngWaveResult << ", \"" << shown[0]
            << "\", after " << took << " ms\n";
}

}  // namespace
}  // namespace quorvane
