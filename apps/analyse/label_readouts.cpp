#include "apps/analyse/label_readouts.h"

#include "dsp/fine_frequency.h"

namespace quorvane {

BlockReadouts ReadoutTexts(const CaptionControl& lblFreq, const CaptionControl& lblMax,
                           const CaptionControl& lblMaxHold, const CaptionControl& Label4) {
  BlockReadouts readouts;
  readouts.freq_text = lblFreq.Caption();
  readouts.sig_max_text = lblMax.Caption();
  readouts.max_hold_text = lblMaxHold.Caption();
  readouts.noise_text = Label4.Caption();
  return readouts;
}

std::optional<double> LineBins(const AnalyserState& state) {
  return FineFrequencyBins({state.dblReal.data(), kBlockSamples},
                           {state.dblImag.data(), kBlockSamples});
}

}  // namespace quorvane
