#include "analyser/analyser_state.h"

#include "common/text.h"

namespace quorvane {

TraceAxis AnalyserState::Axis() const {
  return TraceAxis{strFreqStart, strFreqStop, sngRefLevel, sngDbPerDiv, dblFFTSize, lngSampleRate};
}

void SetReferenceStartValues(AnalyserState& state) {
  state.sngRefLevel = kStartRefLevel;
  state.sngDbPerDiv = kStartDbPerDiv;
}

void SetAnalysisStartValues(AnalyserState& state, std::string& capture_sample_rate,
                            Long& capture_buffer_bytes) {
  capture_sample_rate = kSampleRateText;
  state.strFFTSize = kFFTSizeText;
  state.lngSampleRate = CLng(Val(capture_sample_rate));
  state.strFreqStart = kFreqStartText;
  state.strFreqStop = kFreqStopText;
  state.dblFFTSize = Val(state.strFFTSize);
  // One 16-bit mono sample per analysis point.
  capture_buffer_bytes = CLng(2 * state.dblFFTSize);
}

void SetColourStartValues(AnalyserState& state) {
  state.lngGridColor = kGridColor;
  state.lngBackColor = kBackColor;
}

}  // namespace quorvane
