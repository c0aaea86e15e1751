#pragma once

// Where things land in Picture1, for tests that look at its pixels: the window's own tests and
// the end-to-end ones, which see it only through screenshots.

#include <QImage>
#include <QPoint>
#include <algorithm>
#include <cmath>
#include <vector>

namespace quorvane::test {

// Picture1 is 321 x 297 pixels with 1200 Plot units across each, starting at -100: a
// coordinate lands in pixel floor((u + 100) * pixels / 1200).
inline int PlotColumn(double x) {
  return static_cast<int>(std::floor((x + 100) * 321 / 1200));
}
inline int PlotRow(double y) {
  return static_cast<int>(std::floor((y + 100) * 297 / 1200));
}

// Plot x of a frequency on the 270..2700 Hz axis.
inline double PlotX(double hz) {
  return 1000 * (hz - 270) / (2700 - 270);
}

// Every pixel of `image` with the given colour, as (column, row).
inline std::vector<QPoint> PixelsOf(const QImage& image, QRgb colour) {
  std::vector<QPoint> found;
  for (int r = 0; r < image.height(); ++r) {
    for (int c = 0; c < image.width(); ++c) {
      if ((image.pixel(c, r) & 0xFFFFFF) == (colour & 0xFFFFFF)) found.emplace_back(c, r);
    }
  }
  return found;
}

// The topmost of `points` (the first of them on that row).
inline QPoint Highest(const std::vector<QPoint>& points) {
  return *std::min_element(points.begin(), points.end(),
                           [](QPoint a, QPoint b) { return a.y() < b.y(); });
}

}  // namespace quorvane::test
