#include "display/trace.h"

#include "common/text.h"

namespace quorvane {

namespace {
constexpr double kTopLineAboveRef = 50;  // dB from the reference level to the top grid line
constexpr double kUnitsPerDivision = 125;
// The trace may rise into the top margin by this much, but never below the bottom line.
constexpr double kHighestY = -50;
constexpr double kLowestY = 1000;
constexpr double kAxisWidth = 1000;
}  // namespace

void CalcTrace(Long bin_count, const TraceAxis& axis, const BinArray& level, BinArray& trace_x,
               BinArray& trace_y) {
  const double start = Val(axis.freq_start);
  const double stop = Val(axis.freq_stop);
  if (stop <= start) return;

  const double top_line = static_cast<double>(axis.ref_level) + kTopLineAboveRef;
  Long next_point = 0;
  for (Long bin = 0; bin <= bin_count; bin = CheckedAdd(bin, Long{1})) {
    double y =
        CheckFinite((top_line - level[bin]) / axis.db_per_div * kUnitsPerDivision, "trace y");
    if (y < kHighestY) y = kHighestY;
    if (y > kLowestY) y = kLowestY;
    trace_y[next_point] = y;

    const double hz = CheckFinite(bin / axis.fft_size * axis.sample_rate, "bin frequency");
    const float f = static_cast<float>(hz);
    const bool on_axis = start <= f && f <= stop;
    double x = 0;
    if (on_axis) x = kAxisWidth * (f - start) / (stop - start);
    if (f > stop) {
      // Only an axis that ends below 0 Hz gets here before any marker is written.
      if (bin == 0) trace_x[1] = kTraceEndMarker;
      return;
    }
    trace_x[next_point] = x;
    trace_x[next_point + 1] = kTraceEndMarker;
    if (on_axis) ++next_point;
  }
}

}  // namespace quorvane
