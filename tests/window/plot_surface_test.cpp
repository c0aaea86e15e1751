#include <gtest/gtest.h>

#include <set>

#include "common/runtime_error.h"
#include "display/plot_drawing.h"
#include "display/plot_surface.h"
#include "display/trace.h"
#include "tests/raises.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using test::kBlack;
using test::kGrey;
using test::kYellow;
using test::PixelsOf;
using test::PlotColumn;
using test::PlotRow;
using test::Raised;
using Kind = RuntimeError::Kind;

constexpr PackedColor kPackedGrey = 0xC0C0C0;
constexpr PackedColor kPackedYellow = 0x00FFFF;

// The picture box's size: 4815 x 4455 twips.
PlotSurface Picture() {
  return PlotSurface(321, 297);
}

// A line on a 40 x 40 surface with one unit a pixel: the lit pixels, after checking that no
// other shade than black and yellow appears (no smoothing).
std::vector<QPoint> LineOnSquare(float x1, float y1, float x2, float y2) {
  PlotSurface picture(40, 40);
  picture.SetScaleWidth(40);
  picture.SetScaleHeight(40);
  picture.Line(x1, y1, x2, y2, kPackedYellow);
  const auto lit = PixelsOf(picture.Image(), kYellow);
  EXPECT_EQ(lit.size() + PixelsOf(picture.Image(), kBlack).size(), 1600u);
  return lit;
}

TEST(PlotSurfaceLine, BothEndsOnePixelWideAndCutOffAtTheEdges) {
  const auto flat = LineOnSquare(2, 3, 12, 3);
  ASSERT_EQ(flat.size(), 11u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(flat[i], QPoint(2 + i, 3));
  // A shallow line has exactly one pixel in each column it crosses.
  std::set<int> columns;
  for (const QPoint& p : LineOnSquare(1, 30, 35, 5)) columns.insert(p.x());
  EXPECT_EQ(columns.size(), 35u);
  EXPECT_EQ(*columns.begin(), 1);
  EXPECT_EQ(LineOnSquare(-1e9f, 5, 1e9f, 5).size(), 40u);
  EXPECT_TRUE(LineOnSquare(50, 50, 60, 60).empty());
}

TEST(PlotSurfaceLine, FaultsBecomeRunTimeErrorsEvenWhenPixelsAreDiscarded) {
  for (bool discard : {false, true}) {
    PlotSurface picture(10, 10);
    picture.SetDiscardPixels(discard);
    picture.Line(0, 0, 150, 150, kPackedYellow);
    EXPECT_EQ(PixelsOf(picture.Image(), kYellow).empty(), discard);
    picture.SetScaleWidth(0);  // divides by zero
    EXPECT_EQ(Raised([&] { picture.Line(1, 1, 2, 2, kPackedYellow); }), Kind::FloatingPoint);
    picture.SetScaleWidth(1e-30f);  // pixel coordinates beyond 32 bits
    EXPECT_EQ(Raised([&] { picture.Line(1, 1, 2, 2, kPackedYellow); }), Kind::Overflow);
  }
}

TEST(PlotSurfaceClear, ClsAndANewBackgroundEraseTheDrawing) {
  PlotSurface picture(10, 10);
  int changes = 0;
  picture.SetChangeHandler([&changes] { ++changes; });
  for (PackedColor back : {0u, 0x0000FFu}) {
    picture.Line(0, 0, 150, 0, kPackedYellow);
    back ? picture.SetBackColor(back) : picture.Cls();
    EXPECT_EQ(PixelsOf(picture.Image(), ToRgb(back)).size(), 100u);
  }
  EXPECT_EQ(changes, 4);  // every change repaints the control
}

TEST(GridDrawing, ElevenColumnsAndNineRowsOfGreyAndNothingInTheMargins) {
  PlotSurface picture = Picture();
  picture.Line(-1e4f, -1e4f, 1e4f, 1e4f, kPackedYellow);  // erased by the grid drawing
  DrawGridLines(picture, 0, kPackedGrey);
  std::set<int> grid_columns, grid_rows;
  for (int x = 0; x <= 1000; x += 100) grid_columns.insert(PlotColumn(x));
  for (int y = 0; y <= 1000; y += 125) grid_rows.insert(PlotRow(y));
  ASSERT_EQ(grid_columns.size() * grid_rows.size(), 99u);
  const QImage& image = picture.Image();
  for (int r = 0; r < image.height(); ++r) {
    for (int c = 0; c < image.width(); ++c) {
      const bool inside =
          c >= PlotColumn(0) && c <= PlotColumn(1000) && r >= PlotRow(0) && r <= PlotRow(1000);
      const bool on_line = inside && (grid_columns.count(c) || grid_rows.count(r));
      ASSERT_EQ(image.pixel(c, r), on_line ? kGrey : kBlack) << "column " << c << " row " << r;
    }
  }
}

TEST(TraceDrawing, JoinsThePointsBeforeTheMarker) {
  PlotSurface picture = Picture();
  DrawGridLines(picture, 0, kPackedGrey);
  BinArray x, y;
  // Three points, a marker at 3, and a point behind the marker that must not be drawn.
  x[0] = 50, y[0] = 500;
  x[1] = 150, y[1] = 500;
  x[2] = 150, y[2] = 250;
  x[3] = kTraceEndMarker, y[3] = -50;
  x[4] = 900, y[4] = -50;
  DrawTraceLines(picture, x, y, kPackedYellow);
  const auto lit = PixelsOf(picture.Image(), kYellow);
  for (const QPoint& p : lit) {
    const bool horizontal =
        p.y() == PlotRow(500) && p.x() >= PlotColumn(50) && p.x() <= PlotColumn(150);
    const bool vertical =
        p.x() == PlotColumn(150) && p.y() >= PlotRow(250) && p.y() <= PlotRow(500);
    EXPECT_TRUE(horizontal || vertical) << p.x() << "," << p.y();
  }
  const std::size_t expected =
      (PlotColumn(150) - PlotColumn(50) + 1) + (PlotRow(500) - PlotRow(250) + 1) - 1;
  EXPECT_EQ(lit.size(), expected);

  PlotSurface empty = Picture();
  x[1] = kTraceEndMarker;  // a marker at 1: one point, no line
  DrawTraceLines(empty, x, y, kPackedYellow);
  EXPECT_TRUE(PixelsOf(empty.Image(), kYellow).empty());
}

}  // namespace
}  // namespace quorvane
