#pragma once

#include <optional>
#include <string>

#include "apps/analyse/block_report.h"

namespace quorvane {

// Gives `readouts` the block's clear spectral line, from its frequency in bins if it has one,
// and the tuning that names its note.
void AddLine(BlockReadouts& readouts, std::optional<double> line_bins, double a4_hz);

// The row of a block's readouts as standard output or an --out file gets it: one JSON object,
// else one CSV row. The same for a recording and for live sound.
std::string ReadoutRow(const BlockReadouts& readouts, bool json);

}  // namespace quorvane
