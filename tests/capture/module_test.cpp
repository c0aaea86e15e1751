// The capture routines over samples in memory: no server.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "capture_fixture.h"
#include "common/runtime_error.h"

namespace quorvane {
namespace {

class CaptureModuleTest : public testing::CaptureFixture, public ::testing::Test {
 protected:
  CaptureModuleTest() : CaptureFixture(16) {}  // 8 samples
};

TEST_F(CaptureModuleTest, SamplesAreFractionsOfFullScaleAndOnlyInsideTheBuffer) {
  UseMemoryWaveInput({-32768, 32767, 0, 1, -1, 16384, -16384, 2});
  StartCapture(state);
  ASSERT_TRUE(CaptureBufferDone(state));
  EXPECT_EQ(Block(), (std::vector<double>{-1.0, 32767 / 32768.0, 0, 1 / 32768.0, -1 / 32768.0, 0.5,
                                          -0.5, 2 / 32768.0}));
  const struct {
    Long index;
    RuntimeError::Kind error;
  } outside[] = {{-1, RuntimeError::Kind::SubscriptOutOfRange},
                 {8, RuntimeError::Kind::SubscriptOutOfRange},
                 {0x40000000, RuntimeError::Kind::Overflow},
                 {-0x40000001, RuntimeError::Kind::Overflow},
                 {0x7FFFFFFF, RuntimeError::Kind::Overflow}};
  for (const auto& [index, error] : outside) {
    double out = 7;
    try {
      GetSample(state, index, out);
      ADD_FAILURE() << "sample " << index << " was read";
    } catch (const RuntimeError& raised) {
      EXPECT_EQ(raised.kind(), error) << index;
    }
    EXPECT_EQ(out, 7);
  }
}

TEST_F(CaptureModuleTest, StartWhileRecordingOpensNothing) {
  UseMemoryWaveInput(std::vector<std::int16_t>(64, 1));
  StartCapture(state);
  const HWAVEIN device = state.hWaveIn;
  const HGLOBAL block = state.hBuffer;
  const std::size_t blocks = LiveGlobalBlocks();
  StartCapture(state);
  EXPECT_EQ(state.hWaveIn, device);
  EXPECT_EQ(state.hBuffer, block);
  EXPECT_EQ(LiveGlobalBlocks(), blocks);
  EXPECT_EQ(MemoryWaveInputPosition(), 8u);  // no second buffer was filled
}

// A start that fails anywhere releases everything and shows its text once, however often it is
// tried again, until a start succeeds.
TEST_F(CaptureModuleTest, AFailedStartReleasesAllAndShowsOncePerRunOfFailures) {
  const struct {
    const char* step;
    Long buffer_bytes;  // a buffer of no length is refused when queued
    bool device_taken;  // a device already open is refused at the open
    MMRESULT result;
  } failures[] = {{"open", 16, true, MMSYSERR_ALLOCATED}, {"queue", 0, false, MMSYSERR_INVALPARAM}};
  for (const auto& failure : failures) {
    UseMemoryWaveInput(std::vector<std::int16_t>(64, 1));
    HWAVEIN other = nullptr;
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    if (failure.device_taken) ASSERT_EQ(waveInOpen(&other, 0, &format, 0, 0, 0), MMSYSERR_NOERROR);
    state.lngBufferBytes = failure.buffer_bytes;
    shown.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
      StartCapture(state);
      EXPECT_FALSE(state.blnRecording) << failure.step;
      EXPECT_EQ(state.lngWaveResult, static_cast<Long>(failure.result)) << failure.step;
      EXPECT_EQ(LiveGlobalBlocks(), blocks_before) << failure.step;
    }
    ASSERT_EQ(shown.size(), 1u) << failure.step;
    EXPECT_EQ(state.strWaveError.size(), 200u);
    EXPECT_EQ(state.strWaveError.substr(0, shown[0].size()), shown[0]);
    if (other != nullptr) waveInClose(other);
    state.lngBufferBytes = 16;
    StartCapture(state);  // the device is free again: this start succeeds ...
    ASSERT_TRUE(state.blnRecording) << failure.step;
    StopCapture(state);
    UseMemoryWaveInput({}, MemoryInputEnd::Wait);
    state.strSampleRate = "44100";
    StartCapture(state);  // ... so the next failure is shown again
    state.strSampleRate = "22050";
    EXPECT_EQ(shown.size(), 2u) << failure.step;
    state.blnStartFailed = false;
  }
}

}  // namespace
}  // namespace quorvane
