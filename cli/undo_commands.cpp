#include "cli/undo_commands.h"

#include <cstdio>

#include "engine/messages.h"
#include "engine/undo.h"
#include "platform/error.h"

namespace cli {
namespace {

int failure(const std::string& text) {
  std::fprintf(stderr, "tarvel-cli: %s\n", text.c_str());
  return 1;
}

}  // namespace

int listRuns() {
  const std::string store = engine::UndoStoreFolder();
  if (store.empty()) return failure("не найдена домашняя папка (HOME), замен не сохранено");
  try {
    const auto runs = engine::ListUndoRuns(store);
    if (runs.empty()) {
      std::puts("Замен, которые можно отменить, нет.");
      return 0;
    }
    for (const engine::UndoRunInfo& r : runs) {
      // The command holds the find text and may hold anything: shown as report lines are.
      std::printf("%s  %s  файлов: %zu  %s  %s%s\n", r.id.c_str(), r.started.c_str(), r.files,
                  engine::ShownPath(r.command).c_str(), engine::ShownPath(r.folder).c_str(),
                  r.undone ? "  (отменена)" : "");
    }
    return 0;
  } catch (const platform::Error& e) {
    return failure(e.description());
  }
}

int undoRun(const std::string& id) {
  const std::string store = engine::UndoStoreFolder();
  if (store.empty()) return failure("не найдена домашняя папка (HOME), отменять нечего");
  try {
    std::string run = id;
    if (run.empty()) {
      const auto runs = engine::ListUndoRuns(store);
      if (runs.empty()) return failure("отменять нечего: замен ещё не было");
      run = runs.back().id;
    }
    const engine::UndoOutcome outcome = engine::UndoRun(store, run, [](const std::string& line) {
      std::printf("%s\n", line.c_str());
    });
    std::printf("Замена %s отменена. Возвращено файлов: %zu, оставлено как есть: %zu.\n",
                run.c_str(), outcome.restored, outcome.left);
    return outcome.left == 0 ? 0 : 1;
  } catch (const platform::Error& e) {
    return failure(e.description());
  }
}

}  // namespace cli
