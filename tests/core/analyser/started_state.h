#pragma once

#include <memory>
#include <string>

#include "analyser/analyser_state.h"

namespace quorvane::test {

// The analyser's state as start-up's value assignments leave it (the reference, the analysis,
// the colours), without a window or a capture: for the level pass, the trace and its drawing
// on their own. The capture's rate text and buffer size that start-up also sets are dropped.
inline std::unique_ptr<AnalyserState> StartedState() {
  auto state = std::make_unique<AnalyserState>();
  std::string rate;
  Long bytes = 0;
  SetReferenceStartValues(*state);
  SetAnalysisStartValues(*state, rate, bytes);
  SetColourStartValues(*state);
  return state;
}

}  // namespace quorvane::test
