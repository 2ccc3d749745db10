#pragma once

#include "ui/link_opener.h"

namespace ui {

/// Opens links with QDesktopServices: the handler the desktop has for the link's scheme.
class DesktopLinkOpener final : public LinkOpener {
 public:
  void open(const QString& target, const QString& workingFolder) override;
};

}  // namespace ui
