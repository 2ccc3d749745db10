#pragma once

#include <QDialog>

#include "ui/link_opener.h"
#include "ui/prompter.h"

class QLabel;
class QPushButton;

namespace ui {

class EtchedRule;

/// The author line of the About window (UTF-8).
inline constexpr char kAboutAuthor[] = "Разработчики Tarvel";
/// The web address the About window shows and opens; the .example domain is reserved for
/// examples and belongs to nobody.
inline constexpr char kAboutSite[] = "https://tarvel.example/";

/// The About window: the program's icon, title, version, description, author line and web
/// link. Modal and owned by the main window; fixed size, centred on the screen, without a
/// window icon. "OK" (Enter or Escape) closes it.
class frmAbout final : public QDialog {
  Q_OBJECT

 public:
  /// What the window works through; the objects belong to the caller and outlive the window.
  struct Seams {
    Prompter& prompter;  ///< the box for a link that could not be asked for
    LinkOpener& links;   ///< opens lblSite's address
  };

  /// Builds the window over `owner`, whose icon Image1 shows, and runs Form_Load.
  frmAbout(Seams seams, QWidget* owner);

  /// Fills the window: no window icon, the picture, the caption, the title, version and
  /// description.
  void Form_Load();
  /// Closes the window.
  void cmdOK_Click();
  /// Asks the desktop to open lblSite's address from the program's folder. A failure on the way
  /// is shown in a box with its description and the caption "Error"; nothing leaves the handler.
  void lblSite_Click() noexcept;

  /// "Версия " + major.minor.revision, in decimal without leading zeros.
  static QString versionText(int major, int minor, int revision);

  /// Before the window first shows, centres it on its owner's screen (Qt would centre it over
  /// the owner); once shown, gives cmdOK the focus.
  void setVisible(bool visible) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void createControls();
  void centreOnScreen();

  Prompter& m_prompter;
  LinkOpener& m_links;

  QLabel* Image1 = nullptr;
  QLabel* lblTitle = nullptr;
  QLabel* lblVersion = nullptr;
  QLabel* lblDescription = nullptr;
  EtchedRule* Line1 = nullptr;
  QLabel* lblAuthor = nullptr;
  QLabel* lblSite = nullptr;
  QPushButton* cmdOK = nullptr;
};

}  // namespace ui
