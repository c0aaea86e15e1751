#include <gtest/gtest.h>

#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

// One cycle per block, each restarting the capture; the tick does nothing while the buffer is
// not done.
TEST(AcquisitionCycle, OneCyclePerDoneBuffer) {
  UseMemoryWaveInput(test::Tone(1001.3, 0.5, 8192 * 2), MemoryInputEnd::Wait);
  test::RecordedForm window;
  window.analyser().StartUp();  // without showing the window: only the test drives the cycle
  for (int block = 0; block < 2; ++block) {
    ASSERT_TRUE(window.analyser().Timer1_Timer()) << block;
    EXPECT_TRUE(window.capture().blnRecording);
  }
  EXPECT_EQ(window.form->lblFreq->text(), "1001 Hz");
  const QString noise = window.form->Label4->text();
  for (int tick = 0; tick < 20; ++tick) EXPECT_FALSE(window.analyser().Timer1_Timer());
  EXPECT_EQ(window.form->Label4->text(), noise);
  EXPECT_TRUE(window.boxes.empty());
}

TEST(Closing, WhileRecordingReleasesTheDeviceAndTheBuffer) {
  UseMemoryWaveInput({}, MemoryInputEnd::Wait);
  test::RecordedForm window;
  window.ShowAndStart();
  CaptureState& capture = window.capture();
  const HWAVEIN device = capture.hWaveIn;
  const HGLOBAL buffer = capture.hBuffer;
  EXPECT_TRUE(window.form->close());
  EXPECT_FALSE(capture.blnRecording);
  // Both handles are dead, and the one device is free for the next program.
  EXPECT_EQ(waveInClose(device), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(GlobalFree(buffer), buffer);
  HWAVEIN again = nullptr;
  ASSERT_EQ(waveInOpen(&again, 0, &capture.wfx, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(again), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace quorvane
