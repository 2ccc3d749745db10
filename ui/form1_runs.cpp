// The main window's runs: the two commands' run over their targets, the previews, and undo.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/run/folder_walk.h"
#include "engine/run/run.h"
#include "engine/undo/undo.h"
#include "ui/background_job.h"
#include "ui/form1.h"
#include "ui/form1_parts.h"
#include "ui/review_window.h"
#include "ui/text_fields.h"
#include "ui/words.h"
#include "words/run_lines.h"
#include "words/texts.h"
#include "words/undo_lines.h"

namespace ui {

namespace {

// The window's list as the sink of a run, on the run's thread: each item's line in the order of
// the walk, queued for the list. A file named on its own fails in the message box, not in the
// list, unless the run only looks.
class ListSink : public engine::RunSink {
 public:
  // The plans of the items go to `plan`, when given.
  ListSink(LineQueue& lines, words::WordingContext context, engine::Plan* plan)
      : m_lines(lines), m_context(std::move(context)), m_plan(plan) {}

  void item(const engine::RunItem& item) override {
    using Kind = engine::RunItem::Kind;
    if (m_plan != nullptr && item.plan) m_plan->files.push_back(item.plan);
    if (item.named) {
      rewritten = item.kind == Kind::Changed || item.kind == Kind::Unchanged;
      const bool refused = item.kind == Kind::Failed ||
                           (item.kind == Kind::Skipped && item.reason == engine::SkipReason::Refused);
      if (refused && !m_context.dryRun && item.error) {
        namedFailure = item.error;
        return;
      }
    }
    // Nothing failed in a preview: it says what the run would do with a refused file.
    const bool notReplaced = m_context.dryRun && item.kind == Kind::Skipped &&
                             item.reason == engine::SkipReason::Refused && item.error &&
                             !item.folder;
    std::string line =
        notReplaced ? words::NotReplacedLine(item) : words::WindowLine(item, m_context);
    if (!line.empty()) m_lines.push(std::move(line));
  }
  void waiting(std::size_t filesDone) override { files = filesDone; }
  void lockWait(std::optional<platform::Why> what) override {
    const std::lock_guard lock(m_mutex);
    m_waitingFor = what ? words::LockWaitText(*what) : std::string();
  }
  // What the run waits for (a lock another program holds), empty for nothing; any thread.
  std::string waitingFor() {
    const std::lock_guard lock(m_mutex);
    return m_waitingFor;
  }

  std::atomic<std::size_t> files{0};  // done so far
  std::optional<platform::Error> namedFailure;
  bool rewritten = false;

 private:
  LineQueue& m_lines;
  words::WordingContext m_context;
  engine::Plan* m_plan;
  std::mutex m_mutex;
  std::string m_waitingFor;
};

// Moves the queued lines into the list.
void addQueued(LineQueue& lines, MessageListBox& list) {
  for (const std::string& line : lines.take()) list.AddLine(line);
}

}  // namespace

Form1::RunResult Form1::runTargets(std::vector<engine::RunTarget> targets,
                                   engine::MatchOptions options, const QString& undoTarget,
                                   const engine::FileAction& action, engine::Plan* plan) {
  engine::RunRequest request;
  const bool dryRun = !action.writes();
  // A plan's files are as many as a folder's.
  const bool folder = targets.size() > 1 || (!targets.empty() && targets.front().folder);
  request.targets = std::move(targets);
  request.options = std::move(options);
  request.codePage = &m_codePage;
  request.action = &action;
  request.workers = folder ? engine::DefaultWorkers() : 1;
  const engine::RunHeader header{engine::RunOrigin::Window, request.options.findText,
                                 request.options.replaceText, undoTarget.toStdString()};
  LineQueue lines;
  ListSink sink(lines, {m_codePage.name(), dryRun}, plan);
  // The title shows the files done once a run has lasted half a second, ten times a second at
  // most; what the run waits for is said at once, so that a window that seems to stand still
  // says why.
  QElapsedTimer started;
  started.start();
  qint64 shownAt = -1;
  std::string shownWait;
  const auto tick = [&] {
    addQueued(lines, *List1);
    const std::string waitingFor = sink.waitingFor();
    const qint64 now = started.elapsed();
    if (waitingFor == shownWait && (now < 500 || (shownAt >= 0 && now - shownAt < 100))) return;
    shownAt = now;
    shownWait = waitingFor;
    setWindowTitle(text::progressTitle(programTitle(), sink.files, waitingFor));
  };
  const auto restore = qScopeGuard([this] { setWindowTitle(programTitle()); });
  // Everything that opens a file, the undo store's and the work files included, is done on the
  // run's thread, and so is the last close of each replaced original.
  engine::RunOutcome outcome;
  std::optional<std::string> undoProblem;
  runStoppable(
      [&] {
        std::optional<engine::WorkFiles> workFiles;
        std::optional<engine::UndoJournal> journal;
        if (!dryRun) {
          if (folder) {
            workFiles.emplace(engine::WorkFiles::ForFolderRun(m_workFile, request.workers));
          } else {
            workFiles.emplace(engine::WorkFiles::Shared(m_workFile, request.workers));
          }
          workFiles->keepFirst();  // the window's own, removed when it closes
          request.workFiles = &*workFiles;
          journal.emplace(engine::UndoStoreFolder(), header);
          request.undo = &*journal;
        }
        outcome = engine::Run(request, sink, m_stop);
        if (journal && !journal->enabled()) {
          undoProblem = words::UndoProblemLine(journal->partial(), *journal->problem(), true);
        }
      },
      tick);
  if (outcome.stopped) List1->AddLine(words::StoppedLine(outcome.tally.files, dryRun));
  if (undoProblem) List1->AddLine("!_ " + *undoProblem);
  List1->AddLine(words::WindowSummaryLine(outcome.tally, dryRun));
  List1->ShowEnd();  // the summary in view, however long or wide the list
  return {outcome.stopped, sink.rewritten, sink.namedFailure};
}

void Form1::runStoppable(const std::function<void()>& job, const std::function<void()>& tick) {
  m_converting = true;
  qApp->installEventFilter(this);
  {
    const auto restore = qScopeGuard([this] {
      qApp->removeEventFilter(this);
      m_converting = false;
    });
    RunInBackground(job, tick);
  }
  if (m_stopRequested) throw StopRequested{};  // a stop signal: the program ends
}

void Form1::addPathNotFound(const std::string& path) {
  const std::string line = words::WindowLine(
      engine::RunItem::FromError(path, platform::Error(platform::kPathNotFound, platform::Step::None, platform::Why::PathNotFound)),
      {});
  List1->AddLine(line);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  // The window is disabled while a run goes on: Esc is caught for the whole application.
  if (m_converting && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    m_stop = true;
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void Form1::PreviewFile() {
  runHandler([this] {
    const QString path = Text3->text();
    if (m_busy || path.isEmpty()) return;
    previewAndReview(path, false);
  });
}

void Form1::PreviewFolder() {
  runHandler([this] {
    List1->ResetWidth();
    Text5->setText(QString::fromStdString(engine::NormalizeExtensions(Text5->text().toStdString())));
    const QString folder = Text4->text();
    if (m_busy || folder.isEmpty()) return;
    previewAndReview(folder, true);
  });
}

void Form1::previewAndReview(const QString& name, bool folder) {
  closeReview();  // its plan is the last preview's no longer
  ReviewedRun run;
  bool found = false;
  {
    BusyScope busy(*this);
    List1->Clear();
    runHandler([&] {
      std::vector<engine::RunTarget> targets;
      if (folder) {
        const std::optional<engine::RunTarget> target = folderTarget(name);
        if (!target) return;
        run.root = target->path;
        targets.push_back(*target);
      } else {
        targets.push_back({QFile::encodeName(name).toStdString(), false, std::nullopt});
      }
      if (!patternUsable(fieldText(*Text1), fieldText(*Text2))) return;
      run.options = matchOptions(fieldText(*Text1), fieldText(*Text2));
      run.target = name;
      const RunResult result =
          runTargets(std::move(targets), run.options, name, engine::PlanFiles(), &run.plan);
      found = !result.stopped && !run.plan.files.empty();
    });
    if (folder) List1->ApplyExtent();
  }
  if (!found) return;
  auto* review = new ReviewWindow(std::move(run), m_codePage, this);
  m_review = review;
  connect(review, &ReviewWindow::applyRequested, this, [this, review] { applyReview(*review); });
  review->show();
  review->raise();
  review->activateWindow();
}

ReviewWindow* Form1::reviewWindow() const { return m_review; }

void Form1::closeReview() {
  if (m_review) m_review->close();  // deleted once control is back in the event loop
  m_review.clear();
}

void Form1::applyReview(ReviewWindow& review) {
  runHandler([&] {
    if (m_busy) return;
    // The copy shares the plan's files with the window, which goes: nothing more is checked.
    const ReviewedRun run = review.run();
    closeReview();
    const engine::ApplyPlan apply(run.plan);
    List1->ResetWidth();
    BusyScope busy(*this);
    List1->Clear();
    bool finished = false;
    runHandler([&] {
      finished = !runTargets(engine::PlanTargets(run.plan), run.options, run.target, apply).stopped;
    });
    if (finished) m_prompter.inform(this, programTitle(), QString::fromUtf8(words::kOperationDone));
    List1->ApplyExtent();
  });
}

namespace {

// The last lines of an undo in the list: what tarvel-cli says of it, the counts last.
std::vector<std::string> undoEndLines(const engine::UndoOutcome& outcome) {
  std::vector<std::string> lines;
  if (outcome.unreadable > 0) lines.push_back("!_ " + words::UnreadableLinesLine(outcome));
  if (outcome.finished) {
    lines.push_back(words::UndoDoneLine(outcome, false));
  } else {
    lines.push_back(text::undoUnfinishedLine(outcome.failed));
  }
  return lines;
}

}  // namespace

void Form1::UndoLastRun() {
  runHandler([this] {
    if (m_busy) return;
    std::string store;
    std::vector<engine::UndoRunInfo> runs;
    RunInBackground([&] {
      store = engine::UndoStoreFolder();
      if (!store.empty()) runs = engine::ListUndoRuns(store);
    });
    if (m_stopRequested) return;  // the program ends
    // The window's own last run (any window's of this user), never a tarvel-cli run.
    const engine::UndoRunInfo* last = nullptr;
    for (const engine::UndoRunInfo& run : runs) {
      if (run.header.origin == engine::RunOrigin::Window) last = &run;
    }
    if (last == nullptr || last->state == engine::UndoRunInfo::State::Undone) {
      m_prompter.inform(this, programTitle(),
                        last == nullptr ? text::kNothingToUndo : text::kUndoneAlready);
      return;
    }
    const QString question = QString::fromStdString(words::UndoQuestion(*last));
    if (m_prompter.askYesNo(this, programTitle(), question) == Prompter::Answer::No) return;
    BusyScope busy(*this);
    List1->Clear();
    List1->ResetWidth();
    runHandler([&] {
      std::optional<engine::UndoOutcome> undone;
      {
        // Only while files are worked on does a stop signal wait for them; the box after it
        // ends the program at once, as a run's does. The files are worked on off the window's
        // thread, as a run's are.
        m_converting = true;
        const auto converted = qScopeGuard([this] { m_converting = false; });
        LineQueue lines;
        const engine::EventPump stopped = [this] {
          if (m_stop) throw StopRequested{};
        };
        const std::string id = last->id;
        RunInBackground(
            [&] {
              undone = engine::UndoRun(store, {id, false, stopped},
                                       [&lines](const engine::UndoFileResult& r) {
                                         std::string line = words::UndoLine(r);
                                         if (!line.empty()) lines.push(std::move(line));
                                       });
            },
            [&] { addQueued(lines, *List1); });
      }
      if (m_stopRequested) throw StopRequested{};  // the signal came after the last file
      const engine::UndoOutcome& outcome = *undone;
      for (const std::string& line : undoEndLines(outcome)) List1->AddLine(line);
      List1->ShowEnd();
      m_prompter.inform(this, programTitle(), QString::fromUtf8(words::kOperationDone));
    });
    List1->ApplyExtent();
  });
}

}  // namespace ui
