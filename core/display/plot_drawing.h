#pragma once

#include <optional>
#include <span>

#include "display/plot_surface.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

// Plot units: -100..1100 on both axes, the grid in 0..1000, y downwards.
inline constexpr float kPlotScaleLeft = -100;
inline constexpr float kPlotScaleTop = -100;
inline constexpr float kPlotScaleExtent = 1200;

// The drawing part of a grid drawing: background, Plot units, clear, then 11 vertical lines
// (x = 0, 100, ..., 1000) and 9 horizontal ones (y = 0, 125, ..., 1000) over 0..1000.
void DrawGridLines(PlotSurface& picture, PackedColor back_color, PackedColor grid_color);

// The same with the vertical lines at `line_x` (Plot x, 0..1000) instead of every 100 units.
void DrawGridLinesAt(PlotSurface& picture, PackedColor back_color, PackedColor grid_color,
                     std::span<const double> line_x);

// Where a pixel of a plot `width` x `height` pixels in Plot units lies within the grid: the
// Plot x and y of its centre, held to 0..1000, or nothing when the pixel does not reach the
// grid. A pixel that a grid edge crosses reads as on that edge. `x_from`..`x_to`: the Plot x
// the pixel's column spans, also held to 0..1000.
struct GridPoint {
  double x, y;
  double x_from, x_to;
};
std::optional<GridPoint> GridPointAt(int column, int row, int width, int height);

// Joins trace points 0..m-1 with lines, m being the first index from 1 on whose x is the end
// marker. Without a marker in the arrays, reading past their end is a subscript error after
// every line up to the last element has been drawn.
void DrawTraceLines(PlotSurface& picture, const BinArray& trace_x, const BinArray& trace_y,
                    PackedColor color);

}  // namespace quorvane
