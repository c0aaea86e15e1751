#include <gtest/gtest.h>

#include <set>

#include "common/runtime_error.h"
#include "display/plot_drawing.h"
#include "display/plot_surface.h"
#include "display/trace.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using test::kBlack;
using test::kGrey;
using test::kYellow;
using test::PixelsOf;
using test::PlotColumn;
using test::PlotRow;

constexpr PackedColor kPackedGrey = 0xC0C0C0;
constexpr PackedColor kPackedYellow = 0x00FFFF;

// The picture box's size: 4815 x 4455 twips.
PlotSurface Picture() {
  return PlotSurface(321, 297);
}

TEST(PlotSurfaceColour, RedIsTheLowByte) {
  EXPECT_EQ(ToRgb(0x0000FF), qRgb(255, 0, 0));
  EXPECT_EQ(ToRgb(0x00FF00), qRgb(0, 255, 0));
  EXPECT_EQ(ToRgb(0xFF0000), qRgb(0, 0, 255));
  EXPECT_EQ(ToRgb(0x00FFFF), kYellow);
  EXPECT_EQ(ToRgb(0xC0C0C0), kGrey);
  // The top byte carries no colour.
  EXPECT_EQ(ToRgb(0xFF0000FF), qRgb(255, 0, 0));
}

TEST(PlotSurfaceScale, StartsInTwipsAndStretchesTheUserScaleOverTheSurface) {
  PlotSurface picture = Picture();
  EXPECT_EQ(picture.ScaleWidth(), 4815);
  EXPECT_EQ(picture.ScaleHeight(), 4455);
  EXPECT_EQ(picture.ColumnOf(15 * 10), 10);
  EXPECT_EQ(picture.RowOf(15 * 296), 296);

  picture.SetScaleWidth(1200);
  picture.SetScaleHeight(1200);
  picture.SetScaleLeft(-100);
  picture.SetScaleTop(-100);
  // Not the same length on both axes: 321 and 297 pixels for the same 1200 units.
  EXPECT_EQ(picture.ColumnOf(-100), 0);
  EXPECT_EQ(picture.ColumnOf(0), 26);      // 100 * 321 / 1200 = 26.75
  EXPECT_EQ(picture.ColumnOf(1000), 294);  // 1100 * 321 / 1200 = 294.25
  EXPECT_EQ(picture.ColumnOf(1100), 321);  // the right edge, just outside
  EXPECT_EQ(picture.RowOf(0), 24);         // 100 * 297 / 1200 = 24.75
  EXPECT_EQ(picture.RowOf(1000), 272);     // 1100 * 297 / 1200 = 272.25
}

TEST(PlotSurfaceLine, SetsBothEndPixelsAndNothingElse) {
  PlotSurface picture(20, 10);
  picture.SetScaleWidth(20);
  picture.SetScaleHeight(10);
  picture.Line(2, 3, 12, 3, kPackedYellow);
  const auto lit = PixelsOf(picture.Image(), kYellow);
  ASSERT_EQ(lit.size(), 11u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(lit[i], QPoint(2 + i, 3));
}

TEST(PlotSurfaceLine, IsOnePixelWideAndConnectedAtAnySlope) {
  PlotSurface picture(40, 40);
  picture.SetScaleWidth(40);
  picture.SetScaleHeight(40);
  picture.Line(1, 30, 35, 5, kPackedYellow);
  const auto lit = PixelsOf(picture.Image(), kYellow);
  // A shallow line has exactly one pixel per column, each next to the one before.
  std::set<int> columns;
  for (const QPoint& p : lit) columns.insert(p.x());
  EXPECT_EQ(columns.size(), lit.size());
  EXPECT_EQ(lit.size(), 35u);
  EXPECT_EQ(*columns.begin(), 1);
  EXPECT_EQ(*columns.rbegin(), 35);
  // Only the line's own colour: no smoothing into in-between shades.
  for (int r = 0; r < 40; ++r) {
    for (int c = 0; c < 40; ++c) {
      const QRgb pixel = picture.Image().pixel(c, r) & 0xFFFFFF;
      EXPECT_TRUE(pixel == (kBlack & 0xFFFFFF) || pixel == (kYellow & 0xFFFFFF)) << c << "," << r;
    }
  }
}

TEST(PlotSurfaceLine, IsCutOffAtTheEdgesEvenFromFarAway) {
  PlotSurface picture(10, 10);
  picture.SetScaleWidth(10);
  picture.SetScaleHeight(10);
  picture.Line(-1e9f, 5, 1e9f, 5, kPackedYellow);
  EXPECT_EQ(PixelsOf(picture.Image(), kYellow).size(), 10u);
  picture.Line(20, 20, 30, 30, kPackedGrey);  // wholly outside
  EXPECT_TRUE(PixelsOf(picture.Image(), kGrey).empty());
}

TEST(PlotSurfaceLine, FaultsBecomeRunTimeErrors) {
  PlotSurface picture(10, 10);
  picture.SetScaleWidth(0);
  try {
    picture.Line(1, 1, 2, 2, kPackedYellow);
    FAIL() << "a zero-width scale divides by zero";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeError::Kind::FloatingPoint);
  }
  picture.SetScaleWidth(1e-30f);
  try {
    picture.Line(1, 1, 2, 2, kPackedYellow);
    FAIL() << "pixel coordinates beyond 32 bits";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeError::Kind::Overflow);
  }
}

TEST(PlotSurfaceLine, ASurfaceThatDiscardsPixelsStillRaisesTheSameFaults) {
  PlotSurface picture(10, 10);
  picture.SetDiscardPixels(true);
  picture.Line(0, 0, 150, 150, kPackedYellow);
  EXPECT_TRUE(PixelsOf(picture.Image(), kYellow).empty());
  picture.SetScaleHeight(0);
  EXPECT_THROW(picture.Line(1, 1, 2, 2, kPackedYellow), RuntimeError);
}

TEST(PlotSurfaceClear, ClsAndANewBackgroundEraseTheDrawing) {
  PlotSurface picture(10, 10);
  int changes = 0;
  picture.SetChangeHandler([&changes] { ++changes; });
  picture.Line(0, 0, 150, 0, kPackedYellow);
  EXPECT_FALSE(PixelsOf(picture.Image(), kYellow).empty());
  picture.Cls();
  EXPECT_EQ(PixelsOf(picture.Image(), kBlack).size(), 100u);

  picture.Line(0, 0, 150, 0, kPackedYellow);
  picture.SetBackColor(0x0000FF);
  EXPECT_EQ(picture.BackColor(), 0x0000FFu);
  EXPECT_EQ(PixelsOf(picture.Image(), qRgb(255, 0, 0)).size(), 100u);
  EXPECT_EQ(changes, 4);
}

TEST(GridDrawing, ElevenColumnsAndNineRowsOfGreyAndNothingInTheMargins) {
  PlotSurface picture = Picture();
  picture.Line(-1e4f, -1e4f, 1e4f, 1e4f, kPackedYellow);  // erased by the grid drawing
  DrawGridLines(picture, 0, kPackedGrey);
  EXPECT_EQ(picture.ScaleLeft(), -100);
  EXPECT_EQ(picture.ScaleTop(), -100);
  EXPECT_EQ(picture.ScaleWidth(), 1200);
  EXPECT_EQ(picture.ScaleHeight(), 1200);

  std::set<int> grid_columns, grid_rows;
  for (int x = 0; x <= 1000; x += 100) grid_columns.insert(PlotColumn(x));
  for (int y = 0; y <= 1000; y += 125) grid_rows.insert(PlotRow(y));
  ASSERT_EQ(grid_columns.size(), 11u);
  ASSERT_EQ(grid_rows.size(), 9u);
  const int top = PlotRow(0), bottom = PlotRow(1000);
  const int left = PlotColumn(0), right = PlotColumn(1000);

  const QImage& image = picture.Image();
  for (int r = 0; r < image.height(); ++r) {
    for (int c = 0; c < image.width(); ++c) {
      const bool inside = c >= left && c <= right && r >= top && r <= bottom;
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
}

TEST(TraceDrawing, AMarkerAtOneDrawsNothing) {
  PlotSurface picture = Picture();
  BinArray x, y;
  x[0] = 500;
  x[1] = kTraceEndMarker;
  DrawTraceLines(picture, x, y, kPackedYellow);
  EXPECT_TRUE(PixelsOf(picture.Image(), kYellow).empty());
}

TEST(TraceDrawing, WithoutAMarkerEveryLineIsDrawnThenTheEndIsASubscriptError) {
  PlotSurface picture = Picture();
  DrawGridLines(picture, 0, kPackedGrey);
  BinArray x, y;
  for (int i = 0; i <= 8193; ++i) x[i] = 500, y[i] = -50;
  x[8193] = 600;  // the last line, drawn before the error
  try {
    DrawTraceLines(picture, x, y, kPackedYellow);
    FAIL() << "index 8194 is past the arrays";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.kind(), RuntimeError::Kind::SubscriptOutOfRange);
  }
  EXPECT_EQ(picture.Image().pixel(PlotColumn(600), PlotRow(-50)), kYellow);
}

}  // namespace
}  // namespace quorvane
