#pragma once

#include <QString>

namespace ui {

/// Opens a web address or a document with the desktop's own handler (the user's browser).
/// Production: DesktopLinkOpener; tests record the call instead of starting a browser.
class LinkOpener {
 public:
  virtual ~LinkOpener() = default;

  /// Asks the desktop to open `target`; a relative path is taken from `workingFolder`. Whether
  /// the desktop managed is not reported. May raise, as any call can (out of memory).
  virtual void open(const QString& target, const QString& workingFolder) = 0;
};

}  // namespace ui
