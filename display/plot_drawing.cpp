#include "display/plot_drawing.h"

#include <cmath>

#include "common/numeric.h"
#include "display/trace.h"

namespace quorvane {

namespace {

// Double -> Single, nearest; a value that would round to infinity is an overflow.
float CSng(double value) {
  // Half an ulp above the largest Single: from here on, rounding gives infinity.
  constexpr double kSingleLimit = 3.4028235677973366e38;
  if (std::isfinite(value) && std::fabs(value) >= kSingleLimit) RaiseOverflow("a Single");
  return static_cast<float>(value);
}

}  // namespace

void DrawGridLines(PlotSurface& picture, PackedColor back_color, PackedColor grid_color) {
  picture.SetBackColor(back_color);
  picture.SetScaleWidth(kPlotScaleExtent);
  picture.SetScaleHeight(kPlotScaleExtent);
  picture.SetScaleLeft(kPlotScaleLeft);
  picture.SetScaleTop(kPlotScaleTop);
  picture.Cls();
  for (float x = 0; x <= 1000; x += 100) picture.Line(x, 0, x, 1000, grid_color);
  for (float y = 0; y <= 1000; y += 125) picture.Line(0, y, 1000, y, grid_color);
}

void DrawTraceLines(PlotSurface& picture, const BinArray& trace_x, const BinArray& trace_y,
                    PackedColor color) {
  for (Long i = 1; i <= 16384; ++i) {
    if (trace_x[i] == kTraceEndMarker) return;
    picture.Line(CSng(trace_x[i - 1]), CSng(trace_y[i - 1]), CSng(trace_x[i]), CSng(trace_y[i]),
                 color);
  }
}

}  // namespace quorvane
