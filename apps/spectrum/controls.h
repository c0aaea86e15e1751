#pragma once

#include <QLabel>
#include <QMenu>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "analyser/analyser.h"
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
// uncovering the window repaints it unchanged. Takes no keyboard input; the pointer gets a
// tooltip of what lies under it, and the right button the plot's menu.
class PictureBox : public QWidget {
 public:
  PictureBox(int width_px, int height_px, QWidget* parent);
  PlotSurface& Surface() { return surface_; }

  // The tooltip's text for the pixel under the pointer (logical pixels); empty for none.
  using PointerText = std::function<QString(QPoint pixel)>;
  void SetPointerText(PointerText text) { pointer_text_ = std::move(text); }
  // Shows the text for `pixel` at it, or hides the tooltip when there is none.
  void ShowPointerText(QPoint pixel);
  void SetMenu(QMenu* menu) { menu_ = menu; }
  // Texts set below the grid at Plot x (0..1000), e.g. the wide view's frequencies; none by
  // default, so the plot shows its surface alone.
  void SetAxisLabels(std::vector<std::pair<double, QString>> labels);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  PlotSurface surface_;
  bool repaint_asked_ = false;
  PointerText pointer_text_;
  QMenu* menu_ = nullptr;
  std::vector<std::pair<double, QString>> axis_labels_;
};

}  // namespace quorvane
