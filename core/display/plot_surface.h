#pragma once

#include <QImage>
#include <QRgb>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/packed_color.h"

namespace quorvane {

// The colour a packed value stands for; the top byte is ignored.
QRgb ToRgb(PackedColor color);

// A picture box's drawing surface without the widget: a background colour, a user scale
// stretched over the whole surface, and lines drawn into an image that keeps them until the
// next clear. The window shows this image; a headless run saves it.
//
// Until the scale is set, the user scale is twips (15 to a pixel) from the top-left corner.
//
// Sizes and the pixels of the scale are logical pixels. The image holds device pixels: on a
// screen with a device pixel ratio above 1 its lines are drawn at the finer resolution rather
// than enlarged, each about one logical pixel wide. At a ratio of 1 the two are the same.
class PlotSurface {
 public:
  PlotSurface(int width_px, int height_px);

  // Redraws what the surface holds at a new ratio; a no-op when it is unchanged.
  void SetDevicePixelRatio(double ratio);

  PackedColor BackColor() const { return back_color_; }
  // A new background erases the surface, drawing included.
  void SetBackColor(PackedColor color);

  float ScaleLeft() const { return scale_left_; }
  float ScaleTop() const { return scale_top_; }
  float ScaleWidth() const { return scale_width_; }
  float ScaleHeight() const { return scale_height_; }
  void SetScaleLeft(float value) { SetScale(scale_left_, value); }
  void SetScaleTop(float value) { SetScale(scale_top_, value); }
  void SetScaleWidth(float value) { SetScale(scale_width_, value); }
  void SetScaleHeight(float value) { SetScale(scale_height_, value); }

  // The surface always keeps its drawing; the setting is held so start-up can switch it on
  // as it always has.
  bool AutoRedraw() const { return auto_redraw_; }
  void SetAutoRedraw(bool on) { auto_redraw_ = on; }

  // Erases everything to the background colour.
  void Cls();

  // A solid, one-pixel, unsmoothed line in user coordinates, both end pixels set. Pixel
  // column c covers user x from ScaleLeft + c*ScaleWidth/width to the next column; parts
  // outside the surface are cut off. A zero scale extent is a floating-point fault, a
  // coordinate beyond the 32-bit pixel range an overflow.
  void Line(float x1, float y1, float x2, float y2, PackedColor color);

  // Device pixels, with the device pixel ratio set: painted at the origin it fills the
  // surface's logical size.
  const QImage& Image() const { return image_; }

  // For a surface nobody looks at (a headless run that writes no picture): scale and
  // coordinates are still checked, and raise the same errors, but no pixel is set.
  void SetDiscardPixels(bool discard) { discard_pixels_ = discard; }
  bool DiscardsPixels() const { return discard_pixels_; }

  // Whether Line takes every (xs[i], ys[i]) as an end without raising.
  bool AcceptsPoints(std::span<const float> xs, std::span<const float> ys) const;

  // Called after every change of the image, e.g. to schedule a repaint.
  void SetChangeHandler(std::function<void()> handler) { on_change_ = std::move(handler); }

 private:
  // A line already in logical pixels, kept so that a new ratio can draw it again.
  struct PixelLine {
    double x1, y1, x2, y2;
    QRgb rgb;
  };

  // The last line's far end, in user and in pixel coordinates. A trace's next line starts
  // there, so its start is not converted twice; a new scale forgets it.
  struct LineEnd {
    float x, y;
    double pixel_x, pixel_y;
  };

  void SetScale(float& field, float value) {
    field = value;
    last_end_.reset();
  }
  double PixelX(float x) const;
  double PixelY(float y) const;
  void Fill();
  void Draw(const PixelLine& line);
  void Changed();

  int width_;
  int height_;
  double ratio_ = 1;  // device pixels to a logical one
  long pen_ = 1;      // the width of a line in device pixels
  QImage image_;
  std::vector<PixelLine> lines_;  // since the last clear
  std::optional<LineEnd> last_end_;
  PackedColor back_color_ = 0;
  float scale_left_ = 0;
  float scale_top_ = 0;
  float scale_width_;
  float scale_height_;
  bool auto_redraw_ = false;
  bool discard_pixels_ = false;
  std::function<void()> on_change_;
};

}  // namespace quorvane
