#include "capture/module1.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iostream>
#include <string>
#include <utility>

#include "common/text.h"

namespace quorvane {

namespace {

constexpr std::size_t kErrorTextLength = 200;

MessageBoxFunction& TheMessageBox() {
  static MessageBoxFunction show;
  return show;
}

// Puts the system's text for the last result into strWaveError (padded to its fixed length)
// and returns it without the padding.
std::string TakeErrorText(CaptureState& state) {
  // The 8-bit copy of the fixed-length text is what the call writes into.
  char text[kErrorTextLength];
  std::fill(std::begin(text), std::end(text), ' ');
  std::copy_n(state.strWaveError.begin(), std::min(state.strWaveError.size(), kErrorTextLength),
              text);
  waveInGetErrorTextA(static_cast<MMRESULT>(state.lngWaveResult), text, kErrorTextLength);
  const std::size_t length = std::find(text, text + kErrorTextLength, '\0') - text;
  state.strWaveError.assign(text, length);
  state.strWaveError.resize(kErrorTextLength, ' ');
  return std::string(text, length);
}

// Once per outage: blnStartFailed stays set until a start succeeds.
void ShowOnce(CaptureState& state, const std::string& text) {
  if (std::exchange(state.blnStartFailed, true)) return;
  if (const MessageBoxFunction& show = TheMessageBox()) {
    show(text);
  } else {
    std::cerr << text << '\n';
  }
}

// Shows why capture stopped, once per run of failed starts: the fault that ended the last
// capture if one is held, else this start's failure. Last thing a failed start does.
void ReportWaveError(CaptureState& state) {
  const std::string failure = TakeErrorText(state);
  ShowOnce(state, state.strFault.empty() ? failure : std::exchange(state.strFault, {}));
}

// What an open that did not succeed leaves behind: nothing. The block would never be used; the
// next start allocates its own.
void ReleaseUnopened(CaptureState& state) {
  GlobalFree(state.hBuffer);
  state.hBuffer = nullptr;
  state.whdr.lpData = nullptr;
}

}  // namespace

void SetMessageBox(MessageBoxFunction show) {
  TheMessageBox() = std::move(show);
}

void StartCapture(CaptureState& state) {
  if (state.blnRecording) return;

  state.wfx.wFormatTag = WAVE_FORMAT_PCM;
  state.wfx.nChannels = 1;
  state.wfx.wBitsPerSample = 16;
  state.wfx.nSamplesPerSec = static_cast<DWORD>(CLng(Val(state.strSampleRate)));
  const Integer bits_times_channels = CheckedMul<Integer>(
      static_cast<Integer>(state.wfx.wBitsPerSample), static_cast<Integer>(state.wfx.nChannels));
  state.wfx.nBlockAlign = static_cast<WORD>(CInt(static_cast<double>(bits_times_channels) / 8.0));
  state.wfx.nAvgBytesPerSec = static_cast<DWORD>(CheckedMul<Long>(
      static_cast<Long>(state.wfx.nBlockAlign), static_cast<Long>(state.wfx.nSamplesPerSec)));
  state.wfx.cbSize = 0;

  state.hBuffer =
      GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, static_cast<SIZE_T>(state.lngBufferBytes));
  state.whdr.lpData = static_cast<LPSTR>(GlobalLock(state.hBuffer));
  state.whdr.dwBufferLength = static_cast<DWORD>(state.lngBufferBytes);
  state.whdr.dwBytesRecorded = 0;
  state.whdr.dwFlags = 0;
  state.whdr.dwLoops = 0;

  state.lngWaveResult =
      static_cast<Long>(waveInOpen(&state.hWaveIn, 0, &state.wfx, 0, 0, CALLBACK_NULL));
  if (state.lngWaveResult == static_cast<Long>(WAVERR_PREPARING)) {
    // Not a failure yet: the signal comes when the server has answered.
    ReleaseUnopened(state);
    return;
  }
  if (state.lngWaveResult != 0) {
    ReleaseUnopened(state);
    ReportWaveError(state);
    return;
  }

  // The header's size on this platform (32 bytes where pointers are 32-bit).
  constexpr UINT kHeaderSize = sizeof(WAVEHDR);
  state.lngWaveResult =
      static_cast<Long>(waveInPrepareHeader(state.hWaveIn, &state.whdr, kHeaderSize));
  if (state.lngWaveResult == 0) state.lngWaveResult = static_cast<Long>(waveInStart(state.hWaveIn));
  if (state.lngWaveResult == 0) {
    state.lngWaveResult =
        static_cast<Long>(waveInAddBuffer(state.hWaveIn, &state.whdr, kHeaderSize));
  }
  if (state.lngWaveResult != 0) {
    // A buffer that is never queued would never be done: this start failed as a whole.
    const Long result = state.lngWaveResult;
    StopCapture(state);
    state.hBuffer = nullptr;
    state.whdr.lpData = nullptr;
    state.lngWaveResult = result;
    ReportWaveError(state);
    return;
  }

  state.blnRecording = true;
  state.blnStartFailed = false;
  state.strFault.clear();
}

void NoteCaptureFault(CaptureState& state) {
  // A failed device answers every further call with its fault, as a removed one does.
  const Long fault = static_cast<Long>(waveInStart(state.hWaveIn));
  if (fault == 0) return;
  state.lngWaveResult = fault;
  state.strFault = TakeErrorText(state);
}

void ReportCaptureFault(CaptureState& state) {
  if (!state.strFault.empty()) ShowOnce(state, std::exchange(state.strFault, {}));
}

void StopCapture(CaptureState& state) {
  state.blnRecording = false;
  waveInReset(state.hWaveIn);
  waveInStop(state.hWaveIn);
  waveInUnprepareHeader(state.hWaveIn, &state.whdr, sizeof(WAVEHDR));
  GlobalFree(state.hBuffer);
  waveInClose(state.hWaveIn);
}

void RaiseSampleFault(const CaptureState& state, Long index) {
  const Long offset = CheckedMul<Long>(index, static_cast<Long>(state.wfx.nBlockAlign));
  // Never read outside the buffer, whatever index a caller passes.
  if (state.whdr.lpData == nullptr || offset < 0 ||
      static_cast<std::uint64_t>(offset) + sizeof(std::int16_t) > state.whdr.dwBufferLength) {
    RaiseSubscript("sample " + std::to_string(index) + " outside the capture buffer");
  }
  RaiseOverflow("sample address");
}

bool CaptureBufferDone(const CaptureState& state) {
  auto& flags = const_cast<DWORD&>(state.whdr.dwFlags);
  return (std::atomic_ref<DWORD>(flags).load(std::memory_order_acquire) & WHDR_DONE) != 0;
}

}  // namespace quorvane
