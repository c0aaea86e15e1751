#include "app/analyser.h"

#include "display/plot_drawing.h"
#include "display/readouts.h"
#include "display/trace.h"
#include "dsp/frame.h"
#include "dsp/levels.h"

namespace quorvane {

Analyser::Analyser(const Form1Controls& controls)
    : controls_(controls), state_(std::make_unique<AnalyserState>()) {}

Analyser::~Analyser() {
  if (capture_.blnRecording) StopCapture(capture_);
}

void Analyser::StartUp() {
  SetReferenceStartValues(*state_);
  controls_.lblReflvl.SetCaption(ReferenceCaption(state_->sngRefLevel));
  SetAnalysisStartValues(*state_, capture_.strSampleRate, capture_.lngBufferBytes);
  controls_.lblMaxHold.SetCaption(kMaxHoldCleared);
  // The buffer size is known before the first capture starts.
  if (phase_ == Phase::kBeforeStartUp) phase_ = Phase::kRunning;
  if (phase_ == Phase::kRunning) StartAgain(std::chrono::steady_clock::now());
  SetColourStartValues(*state_);
  controls_.Picture1.SetAutoRedraw(true);
  DrawGrid();
  if (probe_) probe_->GridDrawnAtStartUp(*this);
}

bool Analyser::Timer1_Timer() {
  const bool signalled = TakeCaptureSignal();
  if (phase_ != Phase::kRunning) return false;
  const auto now = std::chrono::steady_clock::now();
  if (!capture_.blnRecording) {
    // No capture runs (no server, no input, a server restarting or hung): it comes back by
    // itself once the sound system does, with the display as it was.
    if (signalled || now >= next_retry_) StartAgain(now);
    return false;
  }
  if (!CaptureBufferDone(capture_)) return false;
  // A block that a fault cut short is not analysed: the display keeps the last whole one.
  const bool whole = capture_.whdr.dwBytesRecorded == capture_.whdr.dwBufferLength;
  if (whole) {
    if (probe_) probe_->BlockDone(*this);
    // Read the block before its buffer is freed, and have the next block recording while
    // this one is analysed and drawn.
    GetAudio();
  }
  NoteCaptureFault(capture_);
  StopCapture(capture_);
  blocks_cut_short_ = whole ? 0 : blocks_cut_short_ + 1;
  if (blocks_cut_short_ == 2) {
    // The restart after a fault succeeded and the next block ended the same way: capture is
    // not coming back by itself this time. Say so, and try again when the retry falls due.
    ReportCaptureFault(capture_);
    next_retry_ = now + kRetryInterval;
    return false;
  }
  StartAgain(now);
  if (!whole) return false;
  DrawSpectrum();
  if (probe_) probe_->BlockShown(*this);
  return true;
}

std::optional<std::chrono::steady_clock::time_point> Analyser::RetryDue() const {
  if (phase_ != Phase::kRunning || capture_.blnRecording) return std::nullopt;
  return next_retry_;
}

void Analyser::StartAgain(std::chrono::steady_clock::time_point now) {
  next_retry_ = now + kRetryInterval;
  StartCapture(capture_);
}

void Analyser::Form_QueryUnload() {
  phase_ = Phase::kClosed;
  if (capture_.blnRecording) StopCapture(capture_);
}

void Analyser::cmdClear_Click() {
  controls_.lblMaxHold.SetCaption(kMaxHoldCleared);
}

void Analyser::scrReflvl_Change(Integer value) {
  state_->sngRefLevel = static_cast<float>(value);
  controls_.lblReflvl.SetCaption(ReferenceCaption(state_->sngRefLevel));
  CalcTrace();
  DrawTrace();
}

void Analyser::GetAudio() {
  const CaptureState& capture = capture_;
  LoadFrame(
      state_->dblFFTSize, [&capture](Long index, double& out) { GetSample(capture, index, out); },
      state_->dblSample, state_->dblReal, state_->dblImag);
}

void Analyser::DrawSpectrum() {
  LevelPass(state_->dblFFTSize, state_->dblReal, state_->dblImag, state_->dblLevel, state_->sngMax,
            state_->intPeakFreq, state_->sngNoise);
  ShowSpectrum();
}

void Analyser::ShowSpectrum() {
  CalcTrace();
  DrawTrace();
  controls_.Label4.SetCaption(NoiseCaption(state_->sngNoise));
}

void Analyser::CalcTrace() {
  quorvane::CalcTrace(state_->BinCount(), state_->Axis(), state_->dblLevel, state_->dblTraceX,
                      state_->dblTraceY);
}

void Analyser::DrawGrid() {
  DrawGridLines(controls_.Picture1, state_->lngBackColor, state_->lngGridColor);
  ReadoutCaptions captions{controls_.lblMax.Caption(), controls_.lblMaxHold.Caption(),
                           controls_.lblFreq.Caption()};
  UpdateReadouts(state_->sngMax, state_->intPeakFreq, captions);
  controls_.lblMax.SetCaption(captions.signal);
  controls_.lblMaxHold.SetCaption(captions.max_hold);
  controls_.lblFreq.SetCaption(captions.peak);
}

void Analyser::DrawTrace() {
  DrawGrid();
  DrawTraceLines(controls_.Picture1, state_->dblTraceX, state_->dblTraceY, kTraceColor);
}

}  // namespace quorvane
