#include "analyser/analyser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "common/text.h"
#include "display/plot_drawing.h"
#include "display/readouts.h"
#include "display/trace.h"
#include "dsp/fine_frequency.h"
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
  if (view_ == PlotView::kWide) {
    CalcLogTrace(state_->BinCount(), state_->Axis(), kWideLowHz, kWideHighHz, state_->dblLevel,
                 state_->dblTraceX, state_->dblTraceY);
    return;
  }
  quorvane::CalcTrace(state_->BinCount(), state_->Axis(), state_->dblLevel, state_->dblTraceX,
                      state_->dblTraceY);
}

void Analyser::DrawGrid() {
  if (view_ == PlotView::kWide) {
    std::vector<double> line_x;
    const FrequencyAxis axis = ViewAxis();
    for (double hz : WideGridHz()) line_x.push_back(1000 * axis.Fraction(hz));
    if (line_x.back() < 1000) line_x.push_back(1000);  // the right edge, at half the rate
    DrawGridLinesAt(controls_.Picture1, state_->lngBackColor, state_->lngGridColor, line_x);
  } else {
    DrawGridLines(controls_.Picture1, state_->lngBackColor, state_->lngGridColor);
  }
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

void Analyser::SetView(PlotView view) {
  view_ = view;
  if (phase_ == Phase::kBeforeStartUp) return;
  CalcTrace();
  DrawTrace();
}

FrequencyAxis Analyser::ViewAxis() const {
  if (view_ == PlotView::kWide) return {FrequencyScale::kLog, kWideLowHz, kWideHighHz};
  return {FrequencyScale::kLinear, Val(state_->strFreqStart), Val(state_->strFreqStop)};
}

std::vector<double> Analyser::WideGridHz() {
  return LogTicks(kWideLowHz, kWideHighHz, 8);
}

std::optional<PointerReading> Analyser::ReadAt(int column, int row, int width, int height) const {
  const std::optional<GridPoint> point = GridPointAt(column, row, width, height);
  const FrequencyAxis axis = ViewAxis();
  if (!point || !(axis.high > axis.low) || state_->dblFFTSize <= 0) return std::nullopt;
  const double hz_per_bin = state_->lngSampleRate / state_->dblFFTSize;
  const Long top_bin = state_->BinCount();
  const auto bin_at = [&](double hz) {
    return std::clamp(static_cast<Long>(std::lround(hz / hz_per_bin)), Long{0}, top_bin);
  };
  PointerReading reading;
  reading.hz = axis.Hz(point->x / 1000);
  const double from = axis.Hz(point->x_from / 1000), to = axis.Hz(point->x_to / 1000);
  const Long first = std::clamp(static_cast<Long>(std::ceil(from / hz_per_bin)), Long{0}, top_bin);
  const Long last = std::clamp(static_cast<Long>(std::floor(to / hz_per_bin)), Long{0}, top_bin);
  reading.level_db = state_->dblLevel[bin_at(reading.hz)];
  for (Long bin = first; bin <= last; ++bin)
    reading.level_db = std::max(reading.level_db, state_->dblLevel[bin]);
  reading.note = NearestNote(reading.hz, 440);
  return reading;
}

namespace {
// The shortest text that reads back as the same double.
std::string Exact(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}
}  // namespace

std::string Analyser::LevelsCsv() const {
  const AnalyserState& s = *state_;
  const Long top_bin = s.BinCount();
  std::vector<double> block(static_cast<std::size_t>(std::max(top_bin, Long{0})) + 1);
  const auto size = static_cast<std::size_t>(std::max(s.dblFFTSize, 0.0));
  if (size > 0) {
    BlockLevels(s.dblFFTSize, {s.dblReal.data(), size}, {s.dblImag.data(), size}, block);
  }
  std::string csv = "bin,hz,level_db,smoothed_db\n";
  for (Long bin = 0; bin <= top_bin; ++bin) {
    csv += std::to_string(bin) + ',' + Exact(bin / s.dblFFTSize * s.lngSampleRate) + ',' +
           Exact(block[static_cast<std::size_t>(bin)]) + ',' + Exact(s.dblLevel[bin]) + '\n';
  }
  csv += "# Freq Peak: " + controls_.lblFreq.Caption() + '\n';
  csv += "# Sig max: " + controls_.lblMax.Caption() + '\n';
  csv += "# Max Hold: " + controls_.lblMaxHold.Caption() + '\n';
  csv += "# Noise: " + controls_.Label4.Caption() + '\n';
  csv += "# " + controls_.lblReflvl.Caption() + '\n';
  const std::optional<double> line =
      size > 0 ? FineFrequencyBins({s.dblReal.data(), size}, {s.dblImag.data(), size})
               : std::nullopt;
  if (line) {
    char text[64];
    std::snprintf(text, sizeof text, "# Peak, precise: %.3f Hz\n",
                  *line * s.lngSampleRate / s.dblFFTSize);
    csv += text;
  } else {
    csv += "# Peak, precise: none (no clear spectral line in this block)\n";
  }
  return csv;
}

}  // namespace quorvane
