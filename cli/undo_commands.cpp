#include "cli/undo_commands.h"

#include <cstdio>
#include <vector>

#include "cli/arguments.h"
#include "cli/confirmation.h"
#include "cli/signals.h"
#include "engine/undo/undo.h"
#include "platform/error.h"
#include "words/errors.h"
#include "words/texts.h"
#include "words/undo_lines.h"

namespace cli {
namespace {

bool failure(const std::string& text) {
  std::fprintf(stderr, "tarvel-cli: %s\n", text.c_str());
  return false;
}

std::string storeOrFail() {
  std::string store = engine::UndoStoreFolder();
  if (store.empty()) {
    throw platform::Error(platform::kNotFound, platform::Step::None, platform::Why::NoHome);
  }
  return store;
}

std::string stateOf(const engine::UndoRunInfo& r) {
  using State = engine::UndoRunInfo::State;
  std::string state;
  switch (r.state) {
    case State::Running:
      state = "  (идёт)";
      break;
    case State::PartlyUndone:
      state = "  (отмена не закончена)";
      break;
    case State::Undone:
      state = r.left == 0 ? "  (отменена)"
                          : "  (отменена, оставлено как есть: " + std::to_string(r.left) + ")";
      break;
    case State::Done:
      break;
  }
  if (r.unreadable > 0) state += "  (строк журнала не прочитано: " + std::to_string(r.unreadable) + ")";
  return state;
}

// Whether `id` names run `r`: its whole name, or its number.
bool names(const std::string& id, const engine::UndoRunInfo& r) {
  return r.id == id || (r.number != 0 && std::to_string(r.number) == id);
}

}  // namespace

bool listRuns() {
  try {
    const std::string store = storeOrFail();
    const auto runs = engine::ListUndoRuns(store);
    if (runs.empty()) {
      std::puts("Замен, которые можно отменить, нет.");
      return true;
    }
    std::uint64_t total = 0;
    for (const engine::UndoRunInfo& r : runs) {
      total += r.bytes;
      // The texts and paths may hold anything: shown as report lines are.
      std::printf("%s  %s  файлов: %zu  %s  %s  %s%s\n", r.id.c_str(),
                  words::RunTimeText(r.started).c_str(), r.files,
                  words::SizeText(r.bytes).c_str(), words::ShownPath(words::RunTitle(r)).c_str(),
                  words::ShownPath(r.header.target).c_str(), stateOf(r).c_str());
    }
    std::printf("Всего: %s в %s\n", words::SizeText(total).c_str(),
                words::ShownPath(store).c_str());
    return true;
  } catch (const platform::Error& e) {
    return failure(words::ErrorText(e));
  }
}

namespace {

// The run `id` names (its name or number; empty: the newest). A run that is not there is a bad
// call, and one the store dropped for the limit says so.
engine::UndoRunInfo runNamed(const std::vector<engine::UndoRunInfo>& runs, const std::string& id) {
  if (runs.empty()) throw Refusal("отменять нечего: замен ещё не было");
  if (id.empty()) return runs.back();
  for (const engine::UndoRunInfo& r : runs) {
    if (names(id, r)) return r;
  }
  const bool digits = !id.empty() && id.size() < 20 &&
                      id.find_first_not_of("0123456789") == std::string::npos;
  std::uint64_t oldest = 0;
  for (const engine::UndoRunInfo& r : runs) {
    if (r.number != 0 && (oldest == 0 || r.number < oldest)) oldest = r.number;
  }
  if (digits && oldest != 0 && std::stoull(id) != 0 && std::stoull(id) < oldest) {
    throw Refusal("замены " + id + " больше нет: хранятся только последние " +
                  std::to_string(engine::kKeptRuns) + " замен (список: tarvel-cli --runs)");
  }
  throw Refusal("нет замены «" + words::ShownPath(id) + "» (список: tarvel-cli --runs)");
}

}  // namespace

bool undoRun(const std::string& id, bool dryRun, bool yes) {
  try {
    const std::string store = storeOrFail();
    const engine::UndoRunInfo run = runNamed(engine::ListUndoRuns(store), id);
    if (!dryRun && !yes) {
      requireTerminal("отменять");
      if (!askOnTerminal(words::UndoQuestion(run))) {
        std::fputs("Отмена не выполнена, файлы не изменены.\n", stderr);
        return false;
      }
    }
    engine::UndoRequest request{run.id, dryRun, [] { stopIfSignalled(); }};
    const engine::UndoOutcome o =
        engine::UndoRun(store, request, [](const engine::UndoFileResult& r) {
          const std::string line = words::UndoLine(r);
          if (!line.empty()) std::printf("%s\n", line.c_str());
        });
    if (dryRun || o.finished) {
      std::printf("%s\n", words::UndoDoneLine(o, dryRun).c_str());
    } else {
      std::printf(
          "Замена %s отменена не до конца. Возвращено файлов: %zu, оставлено как есть: %zu, не "
          "удалось вернуть: %zu. Когда причина будет устранена: tarvel-cli --undo %s\n",
          o.id.c_str(), o.restored, o.left, o.failed, o.id.c_str());
    }
    if (o.unreadable > 0) std::printf("%s\n", words::UnreadableLinesLine(o).c_str());
    return o.left == 0 && o.failed == 0 && o.unreadable == 0;
  } catch (const platform::Error& e) {
    return failure(words::ErrorText(e));
  }
}

bool forgetRuns(const std::string& which, bool yes) {
  try {
    const std::string store = storeOrFail();
    const auto runs = engine::ListUndoRuns(store);
    std::vector<std::string> ids;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    for (const engine::UndoRunInfo& r : runs) {
      if (which != "all" && !names(which, r)) continue;
      ids.push_back(r.id);
      files += r.files;
      bytes += r.bytes;
    }
    if (ids.empty()) {
      if (which == "all") {
        std::puts("Замен, которые можно отменить, нет.");
        return true;
      }
      return failure("нет замены «" + words::ShownPath(which) + "»");
    }
    if (!yes) {
      requireTerminal("удалять");
      const std::string question =
          (which == "all" ? "Удалить все сохранённые замены" : "Удалить замену " + ids.front()) +
          " (файлов: " + std::to_string(files) + ", " + words::SizeText(bytes) +
          ")? Их уже нельзя будет отменить.";
      if (!askOnTerminal(question)) {
        std::fputs("Ничего не удалено.\n", stderr);
        return false;
      }
    }
    const auto refused = engine::ForgetRuns(store, ids);
    for (const auto& [id, error] : refused) failure(words::ErrorText(error));
    std::printf("Удалено замен: %zu.\n", ids.size() - refused.size());
    return refused.empty();
  } catch (const platform::Error& e) {
    return failure(words::ErrorText(e));
  }
}

}  // namespace cli
