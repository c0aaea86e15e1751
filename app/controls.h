#pragma once

#include <QLabel>
#include <QWidget>
#include <string>

#include "app/analyser.h"
#include "display/plot_surface.h"

namespace quorvane {

// A label whose text is the caption the procedures read and write.
class Label : public QLabel, public CaptionControl {
 public:
  Label(const char* caption, QWidget* parent);
  std::string Caption() const override;
  void SetCaption(const std::string& text) override;
};

// The picture box: shows its plot surface, which keeps what was drawn, so covering and
// uncovering the window repaints it unchanged. Takes no mouse or keyboard input.
class PictureBox : public QWidget {
 public:
  PictureBox(int width_px, int height_px, QWidget* parent);
  PlotSurface& Surface() { return surface_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  PlotSurface surface_;
  bool repaint_asked_ = false;
};

}  // namespace quorvane
