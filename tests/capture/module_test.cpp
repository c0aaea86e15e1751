// The capture routines and the wave-input calls, run through the memory driver: no server.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture_fixture.h"
#include "common/runtime_error.h"

namespace quorvane {
namespace {

class CaptureModuleTest : public testing::CaptureFixture {
 protected:
  CaptureModuleTest() : CaptureFixture(16) {}  // 8 samples
};

std::vector<std::int16_t> Ramp(int count) {
  std::vector<std::int16_t> samples;
  for (int i = 0; i < count; ++i) samples.push_back(static_cast<std::int16_t>(i + 1));
  return samples;
}

std::vector<double> Fractions(std::vector<int> values) {
  std::vector<double> out;
  for (int v : values) out.push_back(v / 32768.0);
  return out;
}

// ---- GetSample ---------------------------------------------------------------------------

TEST_F(CaptureModuleTest, SamplesAreFractionsOfFullScale) {
  UseMemoryWaveInput({-32768, 32767, 0, 1, -1, 16384, -16384, 2});
  StartCapture(state);
  ASSERT_TRUE(CaptureBufferDone(state));
  const std::vector<double> block = Block();
  EXPECT_EQ(block[0], -1.0);
  EXPECT_EQ(block[1], 32767.0 / 32768.0);
  EXPECT_EQ(block[2], 0.0);
  EXPECT_EQ(block[3], 1.0 / 32768.0);
  EXPECT_EQ(block[4], -1.0 / 32768.0);
  EXPECT_EQ(block[5], 0.5);
  EXPECT_EQ(block[6], -0.5);
}

TEST_F(CaptureModuleTest, OffsetOverflowIsAnOverflowError) {
  UseMemoryWaveInput(Ramp(8));
  StartCapture(state);
  double out = 7;
  for (Long index : {Long{0x40000000}, Long{-0x40000001}, Long{0x7FFFFFFF}}) {
    try {
      GetSample(state, index, out);
      ADD_FAILURE() << "index " << index << " did not overflow";
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.kind(), RuntimeError::Kind::Overflow);
    }
  }
  EXPECT_EQ(out, 7);  // untouched
  // Past either end of the 8-sample buffer is refused, never read.
  for (Long index : {Long{-1}, Long{8}}) {
    try {
      GetSample(state, index, out);
      ADD_FAILURE() << "index " << index << " was read";
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.kind(), RuntimeError::Kind::SubscriptOutOfRange);
    }
  }
  GetSample(state, 7, out);
  GetSample(state, 0, out);
  EXPECT_EQ(out, 1 / 32768.0);
}

// ---- StartCapture ------------------------------------------------------------------------

TEST_F(CaptureModuleTest, StartFillsFormatHeaderAndQueuesTheBuffer) {
  UseMemoryWaveInput(Ramp(8));
  StartCapture(state);
  EXPECT_TRUE(state.blnRecording);
  EXPECT_EQ(state.lngWaveResult, 0);
  EXPECT_EQ(state.wfx.wFormatTag, 1);
  EXPECT_EQ(state.wfx.nChannels, 1);
  EXPECT_EQ(state.wfx.nSamplesPerSec, 22050u);
  EXPECT_EQ(state.wfx.nAvgBytesPerSec, 44100u);
  EXPECT_EQ(state.wfx.nBlockAlign, 2);
  EXPECT_EQ(state.wfx.wBitsPerSample, 16);
  EXPECT_EQ(state.wfx.cbSize, 0);
  EXPECT_NE(state.hWaveIn, nullptr);
  EXPECT_EQ(static_cast<void*>(state.whdr.lpData), state.hBuffer);
  EXPECT_EQ(state.whdr.dwBufferLength, 16u);
  EXPECT_EQ(state.whdr.dwBytesRecorded, 16u);
  EXPECT_EQ(state.whdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(state.whdr.dwUser, 0u);
  EXPECT_EQ(state.whdr.lpNext, nullptr);
  EXPECT_EQ(Block(), Fractions({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(shown.empty());
}

TEST_F(CaptureModuleTest, StartWhileRecordingOpensNothing) {
  UseMemoryWaveInput(Ramp(64));
  StartCapture(state);
  const HWAVEIN device = state.hWaveIn;
  const HGLOBAL block = state.hBuffer;
  const std::size_t blocks = LiveGlobalBlocks();
  StartCapture(state);
  EXPECT_EQ(state.hWaveIn, device);
  EXPECT_EQ(state.hBuffer, block);
  EXPECT_EQ(LiveGlobalBlocks(), blocks);
  EXPECT_EQ(MemoryWaveInputPosition(), 8u);  // no second buffer was filled
  EXPECT_TRUE(shown.empty());
}

TEST_F(CaptureModuleTest, SampleRateTextIsRoundedTiesToEven) {
  UseMemoryWaveInput(Ramp(8));
  state.strSampleRate = "22050.5";  // -> 22050
  StartCapture(state);
  EXPECT_EQ(state.lngWaveResult, 0);
  StopCapture(state);
  state.strSampleRate = "22050.51";  // -> 22051: not a format the device records
  StartCapture(state);
  EXPECT_EQ(state.wfx.nSamplesPerSec, 22051u);
  EXPECT_EQ(state.lngWaveResult, static_cast<Long>(WAVERR_BADFORMAT));
  EXPECT_FALSE(state.blnRecording);
}

TEST_F(CaptureModuleTest, RateOverflowsAreRuntimeErrorsBeforeAnyAllocation) {
  UseMemoryWaveInput(Ramp(8));
  state.strSampleRate = "3000000000";  // not a Long
  EXPECT_THROW(StartCapture(state), RuntimeError);
  state.strSampleRate = "2000000000";  // a Long, but twice it is not
  try {
    StartCapture(state);
    ADD_FAILURE() << "no overflow";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeError::Kind::Overflow);
  }
  EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  EXPECT_FALSE(state.blnRecording);
}

TEST_F(CaptureModuleTest, OpenFailureShowsPaddedTextAndFreesTheBlock) {
  UseMemoryWaveInput(Ramp(8));
  HWAVEIN other = nullptr;
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
  ASSERT_EQ(waveInOpen(&other, 0, &format, 0, 0, 0), MMSYSERR_NOERROR);

  StartCapture(state);
  waveInClose(other);
  EXPECT_EQ(state.lngWaveResult, static_cast<Long>(MMSYSERR_ALLOCATED));
  EXPECT_FALSE(state.blnRecording);
  EXPECT_EQ(state.hBuffer, nullptr);
  EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  ASSERT_EQ(shown.size(), 1u);
  const std::string text = shown[0];
  EXPECT_EQ(text.rfind("The sound input device is already in use", 0), 0u) << text;
  ASSERT_EQ(state.strWaveError.size(), 200u);
  EXPECT_EQ(state.strWaveError.substr(0, text.size()), text);
  EXPECT_EQ(state.strWaveError.find_first_not_of(' ', text.size()), std::string::npos);
}

TEST_F(CaptureModuleTest, WithoutAMessageBoxTheTextGoesToStandardError) {
  SetMessageBox(nullptr);
  UseMemoryWaveInput(Ramp(8));
  state.strSampleRate = "44100";
  ::testing::internal::CaptureStderr();
  StartCapture(state);
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(written, "The sound input device cannot record in the requested format.\n");
}

// ---- StopCapture and the cycle -----------------------------------------------------------

TEST_F(CaptureModuleTest, StopClosesTheDeviceAndFreesTheBlock) {
  UseMemoryWaveInput(Ramp(8));
  StartCapture(state);
  const HWAVEIN device = state.hWaveIn;
  StopCapture(state);
  EXPECT_FALSE(state.blnRecording);
  EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  EXPECT_EQ(waveInStart(device), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(state.whdr.dwFlags & (WHDR_PREPARED | WHDR_INQUEUE), 0u);
}

TEST_F(CaptureModuleTest, EachBlockCarriesOnWhereTheLastEnded) {
  UseMemoryWaveInput(Ramp(24));
  for (int block = 0; block < 3; ++block) {
    StartCapture(state);
    ASSERT_TRUE(CaptureBufferDone(state));
    const int first = 8 * block + 1;
    EXPECT_EQ(Block(), Fractions({first, first + 1, first + 2, first + 3, first + 4, first + 5,
                                  first + 6, first + 7}));
    StopCapture(state);
  }
  EXPECT_EQ(MemoryWaveInputPosition(), 24u);
}

TEST_F(CaptureModuleTest, StopReturnsAPartlyFilledBuffer) {
  UseMemoryWaveInput(Ramp(11), MemoryInputEnd::Wait);
  StartCapture(state);
  StopCapture(state);
  StartCapture(state);  // gets 3 samples, then waits for more
  EXPECT_FALSE(CaptureBufferDone(state));
  EXPECT_EQ(Block(), Fractions({9, 10, 11, 0, 0, 0, 0, 0}));
  StopCapture(state);
  EXPECT_EQ(state.whdr.dwBytesRecorded, 6u);
  EXPECT_TRUE(state.whdr.dwFlags & WHDR_DONE);
}

// ---- Memory driver: what happens when the samples run out ----------------------------------

TEST_F(CaptureModuleTest, LoopModeStartsOverSeamlessly) {
  UseMemoryWaveInput(Ramp(5), MemoryInputEnd::Loop);
  StartCapture(state);
  EXPECT_EQ(Block(), Fractions({1, 2, 3, 4, 5, 1, 2, 3}));
  StopCapture(state);
  StartCapture(state);
  EXPECT_TRUE(CaptureBufferDone(state));
  EXPECT_EQ(Block(), Fractions({4, 5, 1, 2, 3, 4, 5, 1}));
  EXPECT_EQ(MemoryWaveInputPosition(), 1u);
}

TEST_F(CaptureModuleTest, FinishModeCompletesTheLastShortBufferThenStops) {
  UseMemoryWaveInput(Ramp(10), MemoryInputEnd::Finish);
  StartCapture(state);
  StopCapture(state);
  StartCapture(state);
  EXPECT_TRUE(CaptureBufferDone(state));
  EXPECT_EQ(state.whdr.dwBytesRecorded, 4u);
  EXPECT_EQ(Block(), Fractions({9, 10, 0, 0, 0, 0, 0, 0}));
  StopCapture(state);
  StartCapture(state);
  EXPECT_FALSE(CaptureBufferDone(state));
  EXPECT_EQ(state.whdr.dwBytesRecorded, 0u);
}

TEST_F(CaptureModuleTest, WaitModeNeverCompletesAShortBuffer) {
  UseMemoryWaveInput(Ramp(8), MemoryInputEnd::Wait);
  StartCapture(state);
  EXPECT_TRUE(CaptureBufferDone(state));
  StopCapture(state);
  StartCapture(state);
  EXPECT_FALSE(CaptureBufferDone(state));
  EXPECT_EQ(state.whdr.dwBytesRecorded, 0u);
}

TEST_F(CaptureModuleTest, EmptyLoopBehavesAsWait) {
  UseMemoryWaveInput({}, MemoryInputEnd::Loop);
  StartCapture(state);
  EXPECT_TRUE(state.blnRecording);
  EXPECT_FALSE(CaptureBufferDone(state));
}

}  // namespace
}  // namespace quorvane
