#include "cli/undo_commands.h"

#include <cstdio>
#include <vector>

#include "cli/confirmation.h"
#include "cli/signals.h"
#include "engine/messages.h"
#include "engine/undo.h"
#include "platform/error.h"

namespace cli {
namespace {

bool failure(const std::string& text) {
  std::fprintf(stderr, "tarvel-cli: %s\n", text.c_str());
  return false;
}

std::string storeOrFail() {
  std::string store = engine::UndoStoreFolder();
  if (store.empty()) throw platform::Error(platform::kNotFound, "не найдена домашняя папка (HOME)");
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
                  engine::RunTimeText(r.started).c_str(), r.files,
                  engine::SizeText(r.bytes).c_str(), engine::ShownPath(engine::RunTitle(r)).c_str(),
                  engine::ShownPath(r.header.target).c_str(), stateOf(r).c_str());
    }
    std::printf("Всего: %s в %s\n", engine::SizeText(total).c_str(),
                engine::ShownPath(store).c_str());
    return true;
  } catch (const platform::Error& e) {
    return failure(e.description());
  }
}

bool undoRun(const std::string& id, bool dryRun) {
  try {
    const std::string store = storeOrFail();
    engine::UndoRequest request{id, dryRun, [] { stopIfSignalled(); }};
    if (request.id.empty()) {
      const auto runs = engine::ListUndoRuns(store);
      if (runs.empty()) return failure("отменять нечего: замен ещё не было");
      request.id = runs.back().id;
    }
    const engine::UndoOutcome o =
        engine::UndoRun(store, request, [](const engine::UndoFileResult& r) {
          const std::string line = engine::UndoLine(r);
          if (!line.empty()) std::printf("%s\n", line.c_str());
        });
    if (dryRun) {
      std::printf("Замена %s: будет возвращено файлов: %zu, оставлено как есть: %zu.\n",
                  o.id.c_str(), o.restored, o.left);
    } else if (o.finished) {
      std::printf("Замена %s отменена. Возвращено файлов: %zu, оставлено как есть: %zu.\n",
                  o.id.c_str(), o.restored, o.left);
    } else {
      std::printf(
          "Замена %s отменена не до конца. Возвращено файлов: %zu, оставлено как есть: %zu, не "
          "удалось вернуть: %zu. Когда причина будет устранена: tarvel-cli --undo %s\n",
          o.id.c_str(), o.restored, o.left, o.failed, o.id.c_str());
    }
    if (o.unreadable > 0) {
      std::printf("Строк журнала не удалось прочитать: %zu; эти файлы вернуть нельзя.\n",
                  o.unreadable);
    }
    return o.left == 0 && o.failed == 0 && o.unreadable == 0;
  } catch (const platform::Error& e) {
    return failure(e.description());
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
      if (which != "all" && r.id != which && std::to_string(r.number) != which) continue;
      ids.push_back(r.id);
      files += r.files;
      bytes += r.bytes;
    }
    if (ids.empty()) {
      if (which == "all") {
        std::puts("Замен, которые можно отменить, нет.");
        return true;
      }
      return failure("нет замены «" + engine::ShownPath(which) + "»");
    }
    if (!yes) {
      requireTerminal("удалять");
      const std::string question =
          (which == "all" ? "Удалить все сохранённые замены" : "Удалить замену " + ids.front()) +
          " (файлов: " + std::to_string(files) + ", " + engine::SizeText(bytes) +
          ")? Их уже нельзя будет отменить.";
      if (!askOnTerminal(question)) {
        std::fputs("Ничего не удалено.\n", stderr);
        return false;
      }
    }
    const auto refused = engine::ForgetRuns(store, ids);
    for (const auto& [id, error] : refused) failure(error.description());
    std::printf("Удалено замен: %zu.\n", ids.size() - refused.size());
    return refused.empty();
  } catch (const platform::Error& e) {
    return failure(e.description());
  }
}

}  // namespace cli
