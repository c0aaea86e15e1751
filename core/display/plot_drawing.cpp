#include "display/plot_drawing.h"

#include <algorithm>
#include <cmath>

#include "common/numeric.h"
#include "display/trace.h"

namespace quorvane {

namespace {

// Half an ulp above the largest Single: from here on, rounding gives infinity.
constexpr double kSingleLimit = 3.4028235677973366e38;

// Double -> Single, nearest; a value that would round to infinity is an overflow.
float CSng(double value) {
  if (std::isfinite(value) && std::fabs(value) >= kSingleLimit) RaiseOverflow("a Single");
  return static_cast<float>(value);
}

// Points converted as the lines convert them, this many at a time.
constexpr Long kChunk = 512;

// On a surface that keeps no pixels a line only checks its two ends. When every point up to
// the marker converts to a Single and is accepted as an end, drawing the trace would change
// nothing and raise nothing; false when a point or a missing marker would raise.
bool TraceAccepted(const PlotSurface& picture, const BinArray& trace_x, const BinArray& trace_y) {
  const double* const x = trace_x.data();
  const double* const y = trace_y.data();
  Long end = 1;
  while (end <= static_cast<Long>(BinArray::kUpper) && x[end] != kTraceEndMarker) ++end;
  if (end > static_cast<Long>(BinArray::kUpper)) return false;
  if (end == 1) return true;  // no line at all
  for (Long first = 0; first < end; first += kChunk) {
    const Long count = std::min(kChunk, end - first);
    float xs[kChunk];
    float ys[kChunk];
    for (Long k = 0; k < count; ++k) {
      const double xk = x[first + k];
      const double yk = y[first + k];
      if (std::fabs(xk) >= kSingleLimit || std::fabs(yk) >= kSingleLimit) return false;
      xs[k] = static_cast<float>(xk);
      ys[k] = static_cast<float>(yk);
    }
    if (!picture.AcceptsPoints({xs, static_cast<std::size_t>(count)},
                               {ys, static_cast<std::size_t>(count)})) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {
// Background, Plot units and a clear: what every grid drawing starts with.
void ClearToPlotUnits(PlotSurface& picture, PackedColor back_color) {
  picture.SetBackColor(back_color);
  picture.SetScaleWidth(kPlotScaleExtent);
  picture.SetScaleHeight(kPlotScaleExtent);
  picture.SetScaleLeft(kPlotScaleLeft);
  picture.SetScaleTop(kPlotScaleTop);
  picture.Cls();
}
}  // namespace

void DrawGridLines(PlotSurface& picture, PackedColor back_color, PackedColor grid_color) {
  ClearToPlotUnits(picture, back_color);
  // Steps of 100 and 125 Plot units are exact in float, so the counters land on every line.
  // NOLINTNEXTLINE(clang-analyzer-security.FloatLoopCounter)
  for (float x = 0; x <= 1000; x += 100) picture.Line(x, 0, x, 1000, grid_color);
  // NOLINTNEXTLINE(clang-analyzer-security.FloatLoopCounter)
  for (float y = 0; y <= 1000; y += 125) picture.Line(0, y, 1000, y, grid_color);
}

void DrawGridLinesAt(PlotSurface& picture, PackedColor back_color, PackedColor grid_color,
                     std::span<const double> line_x) {
  ClearToPlotUnits(picture, back_color);
  for (double x : line_x) {
    const auto at = static_cast<float>(x);
    picture.Line(at, 0, at, 1000, grid_color);
  }
  // NOLINTNEXTLINE(clang-analyzer-security.FloatLoopCounter)
  for (float y = 0; y <= 1000; y += 125) picture.Line(0, y, 1000, y, grid_color);
}

std::optional<GridPoint> GridPointAt(int column, int row, int width, int height) {
  // Pixel column c covers Plot x from the scale's left + c * extent / width to the next one's
  // start, as PlotSurface draws it; rows the same way down.
  const double unit_x = kPlotScaleExtent / width, unit_y = kPlotScaleExtent / height;
  const double left = kPlotScaleLeft + column * unit_x, top = kPlotScaleTop + row * unit_y;
  if (left > 1000 || left + unit_x <= 0 || top > 1000 || top + unit_y <= 0) return std::nullopt;
  const auto held = [](double value) { return std::clamp(value, 0.0, 1000.0); };
  return GridPoint{held(left + unit_x / 2), held(top + unit_y / 2), held(left),
                   held(left + unit_x)};
}

void DrawTraceLines(PlotSurface& picture, const BinArray& trace_x, const BinArray& trace_y,
                    PackedColor color) {
  if (picture.DiscardsPixels() && TraceAccepted(picture, trace_x, trace_y)) return;
  for (Long i = 1; i <= 16384; ++i) {
    if (trace_x[i] == kTraceEndMarker) return;
    picture.Line(CSng(trace_x[i - 1]), CSng(trace_y[i - 1]), CSng(trace_x[i]), CSng(trace_y[i]),
                 color);
  }
}

}  // namespace quorvane
