#include "display/plot_surface.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "common/numeric.h"

namespace quorvane {

namespace {

constexpr float kTwipsPerPixel = 15;
// Pixel coordinates are 32-bit integers on every surface the toolkit offers.
constexpr double kPixelLimit = 2147483647.0;

double CheckPixel(double value, const char* what) {
  CheckFinite(value, what);
  if (std::fabs(value) > kPixelLimit) RaiseOverflow(what);
  return value;
}

// Cuts the segment down to the rectangle lo..hi on both axes (Liang-Barsky). False when
// nothing of it lies inside.
bool Clip(double& x1, double& y1, double& x2, double& y2, double lo_x, double lo_y, double hi_x,
          double hi_y) {
  const double dx = x2 - x1;
  const double dy = y2 - y1;
  double t0 = 0;
  double t1 = 1;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {x1 - lo_x, hi_x - x1, y1 - lo_y, hi_y - y1};
  // A segment inside the rectangle keeps t0 = 0 and t1 = 1, without the four divisions: most
  // of a trace's segments.
  const bool inside = std::min(x1, x2) >= lo_x && std::max(x1, x2) <= hi_x &&
                      std::min(y1, y2) >= lo_y && std::max(y1, y2) <= hi_y;
  for (int i = 0; i < 4 && !inside; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0) {
      if (t > t1) return false;
      if (t > t0) t0 = t;
    } else {
      if (t < t0) return false;
      if (t < t1) t1 = t;
    }
  }
  const double ox = x1;
  const double oy = y1;
  x1 = ox + t0 * dx;
  y1 = oy + t0 * dy;
  x2 = ox + t1 * dx;
  y2 = oy + t1 * dy;
  return true;
}

}  // namespace

QRgb ToRgb(PackedColor color) {
  return qRgb(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
              static_cast<int>((color >> 16) & 0xFF));
}

PlotSurface::PlotSurface(int width_px, int height_px)
    : width_(width_px),
      height_(height_px),
      image_(width_px, height_px, QImage::Format_RGB32),
      scale_width_(static_cast<float>(width_px) * kTwipsPerPixel),
      scale_height_(static_cast<float>(height_px) * kTwipsPerPixel) {
  Fill();
}

void PlotSurface::SetDevicePixelRatio(double ratio) {
  if (ratio == ratio_) return;
  ratio_ = ratio;
  pen_ = std::max(1L, std::lround(ratio));
  image_ = QImage(static_cast<int>(std::ceil(width_ * ratio)),
                  static_cast<int>(std::ceil(height_ * ratio)), QImage::Format_RGB32);
  image_.setDevicePixelRatio(ratio);
  Fill();
  for (const PixelLine& line : lines_) Draw(line);
}

void PlotSurface::SetBackColor(PackedColor color) {
  back_color_ = color;
  Cls();
}

void PlotSurface::Cls() {
  if (!discard_pixels_) Fill();
  lines_.clear();
  Changed();
}

void PlotSurface::Fill() {
  image_.fill(ToRgb(back_color_));
}

bool PlotSurface::AcceptsPoints(std::span<const float> xs, std::span<const float> ys) const {
  bool accepted = xs.size() == ys.size();
  for (std::size_t i = 0; accepted && i < xs.size(); ++i) {
    // The expressions of PixelX and PixelY.
    const double x = (static_cast<double>(xs[i]) - scale_left_) * width_ / scale_width_;
    const double y = (static_cast<double>(ys[i]) - scale_top_) * height_ / scale_height_;
    accepted = std::fabs(x) <= kPixelLimit && std::fabs(y) <= kPixelLimit;
  }
  return accepted;
}

double PlotSurface::PixelX(float x) const {
  return CheckPixel((static_cast<double>(x) - scale_left_) * width_ / scale_width_,
                    "x coordinate of a line");
}

double PlotSurface::PixelY(float y) const {
  return CheckPixel((static_cast<double>(y) - scale_top_) * height_ / scale_height_,
                    "y coordinate of a line");
}

void PlotSurface::Line(float x1, float y1, float x2, float y2, PackedColor color) {
  // Compared bit for bit: -0 and 0 are different user coordinates to the conversion.
  const bool from_last_end =
      last_end_ && std::bit_cast<std::uint32_t>(x1) == std::bit_cast<std::uint32_t>(last_end_->x) &&
      std::bit_cast<std::uint32_t>(y1) == std::bit_cast<std::uint32_t>(last_end_->y);
  const double start_x = from_last_end ? last_end_->pixel_x : PixelX(x1);
  const double start_y = from_last_end ? last_end_->pixel_y : PixelY(y1);
  const PixelLine line{start_x, start_y, PixelX(x2), PixelY(y2), ToRgb(color)};
  last_end_ = LineEnd{x2, y2, line.x2, line.y2};
  if (discard_pixels_) return;
  lines_.push_back(line);
  Draw(line);
  Changed();
}

void PlotSurface::Draw(const PixelLine& line) {
  // About one logical pixel wide: a square pen of that many device pixels, centred on the
  // line. One pixel, not moved, at a ratio of 1.
  const long pen = pen_;
  const double centring = static_cast<double>(pen - 1) / 2;
  double px1 = line.x1 * ratio_ - centring;
  double py1 = line.y1 * ratio_ - centring;
  double px2 = line.x2 * ratio_ - centring;
  double py2 = line.y2 * ratio_ - centring;
  const long width = image_.width();
  const long height = image_.height();
  // A pen's width of slack on each side keeps what lines touching the edges set there.
  if (!Clip(px1, py1, px2, py2, -pen, -pen, width + pen, height + pen)) return;

  const long c1 = static_cast<long>(std::floor(px1));
  const long r1 = static_cast<long>(std::floor(py1));
  const long c2 = static_cast<long>(std::floor(px2));
  const long r2 = static_cast<long>(std::floor(py2));
  const long dc = std::labs(c2 - c1);
  const long dr = -std::labs(r2 - r1);
  const long step_c = c1 < c2 ? 1 : -1;
  const long step_r = r1 < r2 ? 1 : -1;
  // Format_RGB32: one QRgb per pixel, rows bytesPerLine apart.
  QRgb* const pixels = reinterpret_cast<QRgb*>(image_.bits());
  const long row_stride = image_.bytesPerLine() / static_cast<long>(sizeof(QRgb));
  const auto walk = [=](auto set) {
    long c = c1;
    long r = r1;
    long error = dc + dr;
    for (;;) {
      set(c, r);
      if (c == c2 && r == r2) break;
      const long twice = 2 * error;
      if (twice >= dr) {
        error += dr;
        c += step_c;
      }
      if (twice <= dc) {
        error += dc;
        r += step_r;
      }
    }
  };
  if (pen == 1) {
    walk([&](long col, long row) {
      if (col >= 0 && col < width && row >= 0 && row < height) {
        pixels[row * row_stride + col] = line.rgb;
      }
    });
  } else {
    walk([&](long col, long row) {
      for (long y = std::max(row, 0L); y < std::min(row + pen, height); ++y) {
        for (long x = std::max(col, 0L); x < std::min(col + pen, width); ++x) {
          pixels[y * row_stride + x] = line.rgb;
        }
      }
    });
  }
}

void PlotSurface::Changed() {
  if (on_change_) on_change_();
}

}  // namespace quorvane
