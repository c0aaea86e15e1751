#include "apps/spectrum/controls.h"

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <cmath>

#include "display/plot_drawing.h"

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
  setMouseTracking(true);
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
  if (axis_labels_.empty()) return;
  // In the margin under the grid (Plot y 1000..1100), in the grid's grey, centred on their x.
  painter.setPen(QColor(0xC0, 0xC0, 0xC0));
  const double pixels_per_unit = width() / static_cast<double>(kPlotScaleExtent);
  const double grid_bottom = (1000 - kPlotScaleTop) * height() / kPlotScaleExtent;
  for (const auto& [x, text] : axis_labels_) {
    const double centre = (x - kPlotScaleLeft) * pixels_per_unit;
    painter.drawText(QRectF(centre - 20, grid_bottom + 2, 40, 12), Qt::AlignHCenter | Qt::AlignTop,
                     text);
  }
}

void PictureBox::SetAxisLabels(std::vector<std::pair<double, QString>> labels) {
  axis_labels_ = std::move(labels);
  update();
}

void PictureBox::ShowPointerText(QPoint pixel) {
  const QString text = pointer_text_ ? pointer_text_(pixel) : QString();
  if (text.isEmpty()) {
    QToolTip::hideText();
    return;
  }
  QToolTip::showText(mapToGlobal(pixel), text, this);
}

void PictureBox::mouseMoveEvent(QMouseEvent* event) {
  // The logical pixel the pointer is in: on a screen at scale 2 it can also be halfway.
  const QPointF at = event->position();
  ShowPointerText(
      QPoint(static_cast<int>(std::floor(at.x())), static_cast<int>(std::floor(at.y()))));
  QWidget::mouseMoveEvent(event);
}

void PictureBox::leaveEvent(QEvent* event) {
  QToolTip::hideText();
  QWidget::leaveEvent(event);
}

void PictureBox::contextMenuEvent(QContextMenuEvent* event) {
  if (!menu_) return QWidget::contextMenuEvent(event);
  QToolTip::hideText();
  menu_->popup(event->globalPos());
}

}  // namespace quorvane
