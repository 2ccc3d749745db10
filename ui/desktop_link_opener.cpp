#include "ui/desktop_link_opener.h"

#include <QDesktopServices>
#include <QUrl>

namespace ui {

void DesktopLinkOpener::open(const QString& target, const QString& workingFolder) {
  // A link the desktop cannot open is not the program's to report.
  static_cast<void>(QDesktopServices::openUrl(QUrl::fromUserInput(target, workingFolder)));
}

}  // namespace ui
