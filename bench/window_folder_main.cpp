// Runs the window's folder command in the window itself, offscreen, for timing the window
// against tarvel-cli on the same tree: every question answered yes, the closing message box
// taken as read.
//   tarvel_window_folder_bench [--preview] FIND REPLACE FOLDER
//   tarvel_window_folder_bench --generate-binary COUNT FOLDER
// The first form prints the time of the command (from the click to the message box that ends
// it; with --preview, of the folder's preview, from the click to the review window shown) and
// the number of lines in the message list; the second writes COUNT small binary files into
// FOLDER, each of which the run skips with a line of its own.
// Exit status: 0, or 1 on a failure (a message box that reports one).
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "ui/dialog_provider.h"
#include "ui/form1.h"
#include "ui/link_opener.h"
#include "ui/program_font.h"
#include "ui/prompter.h"

namespace {

class YesPrompter : public ui::Prompter {
 public:
  Answer askYesNo(QWidget*, const QString&, const QString&) override { return Answer::Yes; }
  void inform(QWidget*, const QString&, const QString&) override {}
  void reportFailure(QWidget*, const QString&, const QString& text) override {
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    failed = true;
  }
  bool failed = false;
};

class NoDialogs : public ui::DialogProvider {
 public:
  ui::FileAnswer openFile(QWidget*, const ui::FileRequest&) override { return {}; }
  QString pickFolder(QWidget*, const QString&) override { return {}; }
};

class NoLinks : public ui::LinkOpener {
 public:
  void open(const QString&, const QString&) override {}
};

// COUNT files of a few bytes with a zero byte in a few folders under FOLDER.
int generateBinary(long count, const std::string& folder) {
  for (long i = 0; i < count; ++i) {
    const std::string sub = folder + "/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) std::system(("mkdir -p '" + sub + "'").c_str());
    const std::string path = sub + "/file-" + std::to_string(i) + ".bin";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
      std::perror(path.c_str());
      return 1;
    }
    std::fwrite("old\0text\n", 1, 9, out);
    std::fclose(out);
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::string(argv[1]) == "--generate-binary") {
    return generateBinary(std::atol(argv[2]), argv[3]);
  }
  const bool preview = argc == 5 && std::string(argv[1]) == "--preview";
  if (argc != 4 && !preview) {
    std::fprintf(stderr,
                 "usage: %s [--preview] FIND REPLACE FOLDER | --generate-binary COUNT FOLDER\n",
                 argv[0]);
    return 1;
  }
  char** texts = argv + (preview ? 2 : 1);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  platform::raiseOpenFileLimit();
  QApplication app(argc, argv);
  QApplication::setFont(ui::programFont());
  YesPrompter prompter;
  NoDialogs dialogs;
  NoLinks links;
  ui::Form1 form({prompter, dialogs, links});
  form.show();
  QCoreApplication::processEvents();
  form.findChild<QPlainTextEdit*>(QStringLiteral("Text1"))
      ->setPlainText(QString::fromUtf8(texts[0]));
  form.findChild<QPlainTextEdit*>(QStringLiteral("Text2"))
      ->setPlainText(QString::fromUtf8(texts[1]));
  form.findChild<QLineEdit*>(QStringLiteral("Text4"))->setText(QString::fromUtf8(texts[2]));
  QElapsedTimer timer;
  timer.start();
  if (preview) {
    form.findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  } else {
    form.Command4_Click();
  }
  const qint64 ms = timer.elapsed();
  const auto* list = form.findChild<ui::MessageListBox*>(QStringLiteral("List1"));
  std::printf("window folder %s: %lld ms, %d lines in the list\n", preview ? "preview" : "command",
              static_cast<long long>(ms), list->lineCount());
  return prompter.failed ? 1 : 0;
}
