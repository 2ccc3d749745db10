#pragma once

class QCoreApplication;

namespace ui {

/// Installs Qt's own Russian translation (qtbase_ru.qm from Qt's translations folder) into
/// `app`, so that standard buttons and Qt's dialogs read in Russian. False when it is missing.
bool installQtTranslation(QCoreApplication& app);

}  // namespace ui
