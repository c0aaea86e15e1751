#pragma once

#include <QFont>
#include <QRect>
#include <utility>
#include <vector>

namespace quorvane {

// The widest text a control shows whole, in a text box `box` aligned as `alignment`: from
// the side the text is set against to the far edge of what the window shows of the box, or
// twice the nearer distance from its centre.
qreal Room(const QRect& box, Qt::Alignment alignment, const QRect& window);

// The window's font, the largest at which every text fits its room, each pair a room (as Room
// gives it) and the widest text it must hold.
QFont CaptionFont(const std::vector<std::pair<qreal, const char*>>& room_and_widest);

}  // namespace quorvane
