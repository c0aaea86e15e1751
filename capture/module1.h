#pragma once

// The capture module: the sound-input device, its format and its single buffer, and the
// routines the window calls to record one block at a time. Everything runs on the window's
// thread; the driver fills the buffer in the background and publishes the done bit.

#include <functional>
#include <string>

#include "capture/wavein.h"
#include "common/numeric.h"

namespace quorvane {

struct CaptureState {
  std::string strSampleRate;  // "22050", set by start-up
  Long lngBufferBytes = 0;    // 2 x FFT length: one 16-bit mono sample per analysis point
  bool blnRecording = false;  // capture running; the tick and the close handler test it
  // A start failed and none has succeeded since: the failure was shown once, retries are not.
  bool blnStartFailed = false;
  HWAVEIN hWaveIn = nullptr;
  WAVEFORMATEX wfx{};
  WAVEHDR whdr{};
  HGLOBAL hBuffer = nullptr;
  Long lngWaveResult = 0;    // result of the last recorded wave-input call
  std::string strWaveError;  // the text shown for a failure, 200 characters
};

// Shows a wave-input error text modally with an OK button, titled with the application title.
using MessageBoxFunction = std::function<void(const std::string& text)>;

// Where failures are shown; the window installs a real message box, tests a recorder.
// Without one, the text goes to standard error.
void SetMessageBox(MessageBoxFunction show);

// Opens, prepares, starts and queues. A failure of any of them releases what was taken and
// leaves blnRecording false; its text is shown unless the previous start failed too.
void StartCapture(CaptureState& state);
void StopCapture(CaptureState& state);

// out = sample `index` of the buffer / 32768. Overflow of the offset is a run-time error.
void GetSample(const CaptureState& state, Long index, double& out);

// The done bit of the buffer's header, read with acquire ordering so the whole buffer the
// driver wrote before setting it is visible.
bool CaptureBufferDone(const CaptureState& state);

}  // namespace quorvane
