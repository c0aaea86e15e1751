#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QString>

#include "apps/spectrum/form1.h"
#include "common/identity.h"

// The icon built into a static library is registered by hand.
static void RegisterIcon() {
  Q_INIT_RESOURCE(icon);
}

namespace quorvane {

void SetApplicationTitle() {
  // Through the application name rather than the display name: Qt appends a display name to
  // every window title, which would change the window's caption.
  QCoreApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
  // The desktop entry's name: desktops match the windows to it, its name and its icon.
  QGuiApplication::setDesktopFileName(QString::fromUtf8(kApplicationId));
  // The installed icon, or from a build tree the same picture built into the program.
  RegisterIcon();
  QGuiApplication::setWindowIcon(QIcon::fromTheme(
      QString::fromUtf8(kIconName),
      QIcon(QStringLiteral(":/icons/") + QString::fromUtf8(kIconName) + QStringLiteral(".svg"))));
}

}  // namespace quorvane
