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
  // Qt merges the requests of one handler's many lines into a single repaint.
  surface_.SetChangeHandler([this] { update(); });
}

void PictureBox::paintEvent(QPaintEvent* /*event*/) {
  // At the resolution of the screen the window is on now, which can change with a move.
  surface_.SetDevicePixelRatio(devicePixelRatioF());
  QPainter painter(this);
  painter.drawImage(0, 0, surface_.Image());
}

}  // namespace quorvane
