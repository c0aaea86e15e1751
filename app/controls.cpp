#include "app/controls.h"

#include <QPainter>

namespace quorvane {

Label::Label(const char* caption, QWidget* parent) : QLabel(QString::fromUtf8(caption), parent) {}

std::string Label::Caption() const {
  return text().toStdString();
}

void Label::SetCaption(const std::string& text) {
  setText(QString::fromStdString(text));
}

PictureBox::PictureBox(int width_px, int height_px, QWidget* parent)
    : QWidget(parent), surface_(width_px, height_px) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
  // A block draws some hundred lines; the first asks for the one repaint that shows them all.
  surface_.SetChangeHandler([this] {
    if (repaint_asked_) return;
    update();
    repaint_asked_ = isVisible();  // a hidden widget's update() asks for nothing
  });
}

void PictureBox::paintEvent(QPaintEvent* /*event*/) {
  repaint_asked_ = false;
  // At the resolution of the screen the window is on now, which can change with a move.
  surface_.SetDevicePixelRatio(devicePixelRatioF());
  QPainter painter(this);
  painter.drawImage(0, 0, surface_.Image());
}

}  // namespace quorvane
