#include "apps/analyse/readout_row.h"

#include "apps/analyse/block_cycle.h"

namespace quorvane {

void AddLine(BlockReadouts& readouts, std::optional<double> line_bins, double a4_hz) {
  readouts.peak_hz_fine = LineHz(line_bins);
  readouts.a4_hz = a4_hz;
}

std::string ReadoutRow(const BlockReadouts& readouts, bool json) {
  return json ? JsonRow(readouts) : CsvRow(readouts);
}

}  // namespace quorvane
