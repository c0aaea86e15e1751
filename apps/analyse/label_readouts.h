#pragma once

#include <optional>

#include "analyser/analyser.h"
#include "apps/analyse/block_report.h"
#include "apps/analyse/sound_input.h"
#include "common/fixed_sizes.h"

namespace quorvane {

// What the readout labels show now.
BlockReadouts ReadoutTexts(const CaptionControl& lblFreq, const CaptionControl& lblMax,
                           const CaptionControl& lblMaxHold, const CaptionControl& Label4);

// The frequency, in bins, of the clear spectral line of the block whose spectrum the analyser
// holds (after GetAudio), if it has one.
std::optional<double> LineBins(const AnalyserState& state);

// A line's frequency in bins as Hz.
inline std::optional<double> LineHz(std::optional<double> line_bins) {
  if (!line_bins) return std::nullopt;
  return *line_bins * SoundInput::kRate / static_cast<double>(kBlockSamples);
}

}  // namespace quorvane
