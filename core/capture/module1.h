#pragma once

// The capture module: the sound-input device, its format and its single buffer, and the
// routines the window calls to record one block at a time. Everything runs on the window's
// thread; the driver fills the buffer in the background, publishes the done bit and raises the
// capture's signal.

#include <cstdint>
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
  // The text of the fault that cut the last buffer short, until a start succeeds or it is
  // shown: a failed restart shows it, since the restart failed only because of it.
  std::string strFault;
  HWAVEIN hWaveIn = nullptr;
  WAVEFORMATEX wfx{};
  WAVEHDR whdr{};
  HGLOBAL hBuffer = nullptr;
  Long lngWaveResult = 0;    // result of the last recorded wave-input call
  std::string strWaveError;  // the text shown for a failure, 200 characters
};

// Shows a wave-input error text with an OK button, titled with the application title. Returns
// at once: capture goes on behind the box.
using MessageBoxFunction = std::function<void(const std::string& text)>;

// Where failures are shown; the window installs a real message box, tests a recorder.
// Without one, the text goes to standard error.
void SetMessageBox(MessageBoxFunction show);

// Opens, prepares, starts and queues. A failure of any of them releases what was taken and
// leaves blnRecording false; its text (or the fault's, when one is held) is shown once per run
// of failed starts. An open that finds the sound server still being reached is no failure: it
// leaves blnRecording false quietly, and the capture's signal is raised when the server has
// answered (or not), for the next start to find out.
void StartCapture(CaptureState& state);
void StopCapture(CaptureState& state);

// Before StopCapture, once the buffer is done: if the device failed (the fault cut the buffer
// short, or came just after it was full), takes the device's own account of the fault into
// strFault (and strWaveError), for a failed restart to show.
void NoteCaptureFault(CaptureState& state);

// Shows the fault held in strFault, as a failed start would, for one that restarts without
// failing but keeps ending the same way (a source that connects and sends nothing).
void ReportCaptureFault(CaptureState& state);

// For an index GetSample refused: raises the run-time error it is (the offset or the address
// overflowing, or the sample lying outside the buffer).
[[noreturn]] void RaiseSampleFault(const CaptureState& state, Long index);

// out = sample `index` of the buffer / 32768. Overflow of the offset is a run-time error, and
// so is an index outside the buffer; `out` is left as it was then. Inline: it runs for every
// sample of every block, and an index inside the buffer needs only the checks' conditions.
inline void GetSample(const CaptureState& state, Long index, double& out) {
  Long offset = 0;
  std::uintptr_t address = 0;
  if (__builtin_mul_overflow(index, static_cast<Long>(state.wfx.nBlockAlign), &offset) ||
      state.whdr.lpData == nullptr || offset < 0 ||
      static_cast<std::uint64_t>(offset) + sizeof(std::int16_t) > state.whdr.dwBufferLength ||
      __builtin_add_overflow(reinterpret_cast<std::uintptr_t>(state.whdr.lpData), offset,
                             &address)) {
    RaiseSampleFault(state, index);
  }
  std::int16_t sample = 0;
  // The address was checked as a number, for overflow; it points into the buffer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  RtlMoveMemory(&sample, reinterpret_cast<const void*>(address), sizeof sample);
  out = static_cast<double>(sample) / 32768.0;
}

// The done bit of the buffer's header, read with acquire ordering so the whole buffer the
// driver wrote before setting it is visible.
bool CaptureBufferDone(const CaptureState& state);

// ---- The capture's signal --------------------------------------------------------------------
//
// Whoever runs the acquisition cycle sleeps until the capture has something for it, instead of
// polling the done bit. The signal is raised (from any thread) when a buffer is done, filled or
// cut short by a fault, and when a connection to the sound server was prepared or could not be.
// It may be raised when there turns out to be nothing to do; it is never missed.

// An eventfd that polls readable (POLLIN) while the signal is raised. Made on first use and
// open for the whole run; never read it directly, use TakeCaptureSignal.
int CaptureSignalDescriptor();

// Lowers the signal; true when it was raised. Never blocks.
bool TakeCaptureSignal();

}  // namespace quorvane
