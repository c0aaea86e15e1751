#pragma once

#include <string>

#include "common/numeric.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

// The x value that ends the trace point list.
inline constexpr double kTraceEndMarker = 9999;

// What the trace mapping reads besides the levels.
struct TraceAxis {
  std::string freq_start;  // left edge of the axis in Hz, as text ("270")
  std::string freq_stop;   // right edge in Hz ("2700")
  float ref_level = 0;     // dB; the top grid line is ref_level + 50 dB
  float db_per_div = 0;    // dB per 125-unit grid row
  double fft_size = 0;
  Long sample_rate = 0;
};

// Maps bins 0..bin_count of `level` to plot points: every bin whose frequency lies on the
// axis becomes (x, y) with x linear in Hz over 0..1000 and y the level below the top line,
// clipped to -50..1000. The marker 9999 in trace_x follows the last point. A stop not above
// start leaves the arrays as they were; an axis that ends below every bin leaves an empty
// trace (marker at 1).
void CalcTrace(Long bin_count, const TraceAxis& axis, const BinArray& level, BinArray& trace_x,
               BinArray& trace_y);

// The wide view's mapping: bins 0..bin_count from `low_hz` up to `high_hz` become points with
// x over 0..1000 in octaves (x = 1000 * log(f / low) / log(high / low)) and y as CalcTrace
// gives it; the marker follows the last point (at 1 when there is none). Needs
// 0 < low_hz < high_hz; the axis texts are not read.
void CalcLogTrace(Long bin_count, const TraceAxis& axis, double low_hz, double high_hz,
                  const BinArray& level, BinArray& trace_x, BinArray& trace_y);

}  // namespace quorvane
