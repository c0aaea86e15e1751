#include "apps/spectrum/caption_fonts.h"

#include <QFontMetricsF>
#include <QString>
#include <algorithm>

namespace quorvane {

qreal Room(const QRect& box, Qt::Alignment alignment, const QRect& window) {
  const QRect shown = box.intersected(window);
  if (alignment & Qt::AlignRight) return box.right() + 1 - shown.left();
  if (alignment & Qt::AlignHCenter) {
    const qreal centre = box.left() + box.width() / 2.0;
    return 2 * std::min(centre - shown.left(), shown.right() + 1 - centre);
  }
  return shown.right() + 1 - box.left();
}

// Liberation Sans Narrow (Debian's fonts-liberation), the narrowest of the common screen faces,
// at 9 px: it sets the widest readout, "-137 dB anl", in 37.7 px of the 41 that lblMax has,
// where 10 px would take 41.8 and DejaVu Sans Condensed at 9 px 46.5. Where the face is
// missing, the font system's stand-in (a metric twin such as Nimbus Sans Narrow, or else its
// sans face), made smaller until every text fits: DejaVu Sans alone ends at 7 px.
QFont CaptionFont(const std::vector<std::pair<qreal, const char*>>& room_and_widest) {
  QFont font(QStringLiteral("Liberation Sans Narrow"));
  font.setStyleHint(QFont::SansSerif);
  for (int pixels = 9;; --pixels) {
    font.setPixelSize(pixels);
    const QFontMetricsF metrics(font);
    if (pixels == 1 || std::all_of(room_and_widest.begin(), room_and_widest.end(), [&](auto c) {
          return metrics.horizontalAdvance(QString::fromUtf8(c.second)) <= c.first;
        })) {
      return font;
    }
  }
}

}  // namespace quorvane
