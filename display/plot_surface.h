#pragma once

#include <QImage>
#include <QRgb>
#include <cstdint>
#include <functional>

#include "common/packed_color.h"

namespace quorvane {

// The colour a packed value stands for; the top byte is ignored.
QRgb ToRgb(PackedColor color);

// A picture box's drawing surface without the widget: a background colour, a user scale
// stretched over the whole surface, and lines drawn into an image that keeps them until the
// next clear. The window shows this image; a headless run saves it.
//
// Until the scale is set, the user scale is twips (15 to a pixel) from the top-left corner.
class PlotSurface {
 public:
  PlotSurface(int width_px, int height_px);

  int WidthPixels() const { return image_.width(); }
  int HeightPixels() const { return image_.height(); }

  PackedColor BackColor() const { return back_color_; }
  // A new background erases the surface, drawing included.
  void SetBackColor(PackedColor color);

  float ScaleLeft() const { return scale_left_; }
  float ScaleTop() const { return scale_top_; }
  float ScaleWidth() const { return scale_width_; }
  float ScaleHeight() const { return scale_height_; }
  void SetScaleLeft(float value) { scale_left_ = value; }
  void SetScaleTop(float value) { scale_top_ = value; }
  void SetScaleWidth(float value) { scale_width_ = value; }
  void SetScaleHeight(float value) { scale_height_ = value; }

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

  const QImage& Image() const { return image_; }

  // For a surface nobody looks at (a headless run that writes no picture): scale and
  // coordinates are still checked, and raise the same errors, but no pixel is set.
  void SetDiscardPixels(bool discard) { discard_pixels_ = discard; }

  // Called after every change of the image, e.g. to schedule a repaint.
  void SetChangeHandler(std::function<void()> handler) { on_change_ = std::move(handler); }

 private:
  double PixelX(float x) const;
  double PixelY(float y) const;
  void Changed();

  QImage image_;
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
