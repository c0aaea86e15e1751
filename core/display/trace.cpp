#include "display/trace.h"

#include <algorithm>
#include <cmath>

#include "common/dispatch.h"
#include "common/text.h"
#include "display/frequency_scale.h"

namespace quorvane {

namespace {
constexpr double kTopLineAboveRef = 50;  // dB from the reference level to the top grid line
constexpr double kUnitsPerDivision = 125;
// The trace may rise into the top margin by this much, but never below the bottom line.
constexpr double kHighestY = -50;
constexpr double kLowestY = 1000;
constexpr double kAxisWidth = 1000;
// Bins per chunk of the fast path; its working values live on the stack.
constexpr Long kChunk = 256;

// What every bin's point is computed from, and the formulas, kept in one place for both paths.
struct Mapping {
  double top_line;
  double db_per_div;
  double fft_size;
  double sample_rate;
  double start;
  double stop;

  double Y(double level) const { return (top_line - level) / db_per_div * kUnitsPerDivision; }
  double Hz(Long bin) const { return bin / fft_size * sample_rate; }
  double X(float f) const { return kAxisWidth * (f - start) / (stop - start); }
};

Mapping MappingFor(const TraceAxis& axis, double start, double stop) {
  return {static_cast<double>(axis.ref_level) + kTopLineAboveRef,
          axis.db_per_div,
          axis.fft_size,
          static_cast<double>(axis.sample_rate),
          start,
          stop};
}

double Clip(double y) {
  if (y < kHighestY) y = kHighestY;
  if (y > kLowestY) y = kLowestY;
  return y;
}

// The point list as it is written, one bin after another.
class Points {
 public:
  Points(BinArray& x, BinArray& y) : x_(x), y_(y) {}

  void SetY(double y) { y_[next_] = y; }

  // Completes the bin's point from its frequency f and the x that f has on the axis; false
  // once the bin lies above the axis, which ends the list.
  bool Place(Long bin, float f, double x, const Mapping& m) {
    const bool on_axis = m.start <= f && f <= m.stop;
    if (f > m.stop) {
      // Only an axis that ends below 0 Hz gets here before any marker is written.
      if (bin == 0) x_[1] = kTraceEndMarker;
      return false;
    }
    x_[next_] = on_axis ? x : 0;
    x_[next_ + 1] = kTraceEndMarker;
    if (on_axis) ++next_;
    return true;
  }

 private:
  BinArray& x_;
  BinArray& y_;
  Long next_ = 0;
};

// One bin, every access and every step checked: a fault ends the mapping with the points
// before it written.
bool MapBin(Long bin, const Mapping& m, const BinArray& level, Points& points) {
  points.SetY(Clip(CheckFinite(m.Y(level[bin]), "trace y")));
  const float f = static_cast<float>(CheckFinite(m.Hz(bin), "bin frequency"));
  return points.Place(bin, f, m.X(f), m);
}

// y, frequency and x of bins first..first+count-1, false if a y or a frequency is not
// finite. Each quantity is a loop of its own, so the divisions run several bins to an
// instruction with the same operations on the same operands.
QUORVANE_CLONES bool MapChunk(Long first, Long count, const Mapping& m, const double* level,
                              double* y, float* f, double* x) noexcept {
  for (Long k = 0; k < count; ++k) y[k] = m.Y(level[k]);
  for (Long k = 0; k < count; ++k) x[k] = m.Hz(first + k);
  bool finite = true;
  for (Long k = 0; k < count; ++k) finite &= std::isfinite(y[k]) && std::isfinite(x[k]);
  for (Long k = 0; k < count; ++k) y[k] = Clip(y[k]);
  for (Long k = 0; k < count; ++k) f[k] = static_cast<float>(x[k]);
  for (Long k = 0; k < count; ++k) x[k] = m.X(f[k]);
  return finite;
}
}  // namespace

void CalcTrace(Long bin_count, const TraceAxis& axis, const BinArray& level, BinArray& trace_x,
               BinArray& trace_y) {
  const double start = Val(axis.freq_start);
  const double stop = Val(axis.freq_stop);
  if (stop <= start) return;

  const Mapping m = MappingFor(axis, start, stop);
  Points points(trace_x, trace_y);
  // Bins the level array holds go by chunks; a chunk with a fault runs again one bin at a
  // time, and bins beyond the array go one at a time, so both fail where they always have.
  const Long in_bounds = std::min(bin_count, static_cast<Long>(BinArray::kUpper)) + 1;
  for (Long first = 0; first < in_bounds; first += kChunk) {
    const Long count = std::min(kChunk, in_bounds - first);
    double y[kChunk];
    float f[kChunk];
    double x[kChunk];
    if (MapChunk(first, count, m, level.data() + first, y, f, x)) {
      for (Long k = 0; k < count; ++k) {
        points.SetY(y[k]);
        if (!points.Place(first + k, f[k], x[k], m)) return;
      }
    } else {
      for (Long bin = first; bin < first + count; ++bin) {
        if (!MapBin(bin, m, level, points)) return;
      }
    }
  }
  for (Long bin = std::max(in_bounds, Long{0}); bin <= bin_count; bin = CheckedAdd(bin, Long{1})) {
    if (!MapBin(bin, m, level, points)) return;
  }
}

void CalcLogTrace(Long bin_count, const TraceAxis& axis, double low_hz, double high_hz,
                  const BinArray& level, BinArray& trace_x, BinArray& trace_y) {
  const Mapping m = MappingFor(axis, low_hz, high_hz);
  const FrequencyAxis octaves{FrequencyScale::kLog, low_hz, high_hz};
  Long next = 0;
  for (Long bin = 0; bin <= bin_count; ++bin) {
    const double f = CheckFinite(m.Hz(bin), "bin frequency");
    if (f < low_hz) continue;
    if (f > high_hz) break;
    trace_y[next] = Clip(CheckFinite(m.Y(level[bin]), "trace y"));
    trace_x[next] = kAxisWidth * octaves.Fraction(f);
    ++next;
  }
  trace_x[std::max(next, Long{1})] = kTraceEndMarker;
}

}  // namespace quorvane
