#include "ui/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstring>

namespace ui {
namespace {

// Texts that Qt 6 shows in its file dialog and that its Russian translation does not hold:
// the file list's type column names folders, drives and links in these words.
class MissingQtTexts final : public QTranslator {
 public:
  using QTranslator::QTranslator;

  bool isEmpty() const override { return false; }

  QString translate(const char* context, const char* sourceText, const char* /*disambiguation*/,
                    int /*n*/) const override {
    struct Text {
      const char* context;
      const char* source;
      const char* russian;
    };
    static constexpr Text kTexts[] = {
        {"QAbstractFileIconProvider", "Folder", "Папка"},
        {"QAbstractFileIconProvider", "File", "Файл"},
        {"QAbstractFileIconProvider", "Drive", "Диск"},
        {"QAbstractFileIconProvider", "Shortcut", "Ярлык"},
        {"QAbstractFileIconProvider", "Unknown", "Неизвестно"},
    };
    if (context == nullptr || sourceText == nullptr) return {};
    for (const Text& t : kTexts) {
      if (std::strcmp(context, t.context) == 0 && std::strcmp(sourceText, t.source) == 0) {
        return QString::fromUtf8(t.russian);
      }
    }
    return {};  // not ours: the other translations are asked
  }
};

}  // namespace

bool installQtTranslation(QCoreApplication& app) {
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  auto* qt = new QTranslator(&app);
  const bool loaded =
      qt->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (loaded) {
    QCoreApplication::installTranslator(qt);
  } else {
    delete qt;
  }
  // Installed last, so asked first: it answers only the texts Qt's translation lacks.
  QCoreApplication::installTranslator(new MissingQtTexts(&app));
  return loaded;
}

}  // namespace ui
