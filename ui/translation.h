#pragma once

class QCoreApplication;

namespace ui {

/// Makes Qt's own texts Russian in `app`, whatever the user's locale, for the program speaks
/// only Russian: Qt's translation (qtbase_ru.qm from Qt's translations folder) for the standard
/// buttons and dialogs, the program's own words for the few texts of the file dialog that
/// translation lacks ("Folder" and the like), and Russian as the default locale, in which the
/// file dialog names the file types. False when qtbase_ru.qm is missing; the rest is done then
/// too.
bool installQtTranslation(QCoreApplication& app);

}  // namespace ui
