#include "cli/undo_commands.h"

#include <cstdio>
#include <vector>

#include "cli/arguments.h"
#include "cli/confirmation.h"
#include "cli/signals.h"
#include "cli/words.h"
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

// Whether `id` names run `r`: its whole name, or its number.
bool names(const std::string& id, const engine::UndoRunInfo& r) {
  return r.id == id || (r.number != 0 && std::to_string(r.number) == id);
}

// The run `--undo` takes when none is named, as an editor's undo does: the newest one not yet
// undone (one whose undo was left unfinished included); none once every run is undone.
const engine::UndoRunInfo* nextToUndo(const std::vector<engine::UndoRunInfo>& runs) {
  for (auto r = runs.rbegin(); r != runs.rend(); ++r) {
    if (r->state != engine::UndoRunInfo::State::Undone) return &*r;
  }
  return nullptr;
}

}  // namespace

bool listRuns() {
  try {
    const std::string store = storeOrFail();
    const auto runs = engine::ListUndoRuns(store);
    if (runs.empty()) {
      std::puts(text::kNoRuns);
      return true;
    }
    std::uint64_t total = 0;
    const engine::UndoRunInfo* next = nextToUndo(runs);
    for (const engine::UndoRunInfo& r : runs) {
      total += r.bytes;
      std::puts(text::RunListLine(r, &r == next).c_str());
    }
    std::puts(text::RunsTotalLine(total, store).c_str());
    return true;
  } catch (const platform::Error& e) {
    return failure(words::ErrorText(e));
  }
}

namespace {

// The run `id` names (its name or number; empty: the next to undo). A run that is not there is
// a bad call, and one the store dropped for the limit, or one deleted by --forget, says so.
engine::UndoRunInfo runNamed(const std::string& store, const std::vector<engine::UndoRunInfo>& runs,
                             const std::string& id) {
  if (runs.empty() && id.empty()) {
    throw Refusal(words::ErrorText(
        platform::Error(platform::kNotFound, platform::Step::None, platform::Why::NothingToUndo)));
  }
  if (id.empty()) {
    const engine::UndoRunInfo* next = nextToUndo(runs);
    if (next == nullptr) throw Refusal(text::kAllUndone);
    return *next;
  }
  for (const engine::UndoRunInfo& r : runs) {
    if (names(id, r)) return r;
  }
  const bool digits = !id.empty() && id.size() < 20 &&
                      id.find_first_not_of("0123456789") == std::string::npos;
  std::uint64_t oldest = 0;
  for (const engine::UndoRunInfo& r : runs) {
    if (r.number != 0 && (oldest == 0 || r.number < oldest)) oldest = r.number;
  }
  const std::uint64_t last = engine::LastRunNumber(store);
  if (digits && std::stoull(id) != 0 && std::stoull(id) <= last) {
    // The limit drops only runs that have kKeptRuns newer ones, and the oldest first: a number
    // without so many after it, or after the oldest run kept, was deleted by --forget.
    const std::uint64_t n = std::stoull(id);
    const bool dropped = n + engine::kKeptRuns <= last && (oldest == 0 || n < oldest);
    throw Refusal(dropped ? text::RunDroppedText(id) : text::RunForgottenText(id));
  }
  throw Refusal(text::NoSuchRunText(id, true));
}

}  // namespace

bool undoRun(const std::string& id, bool dryRun, bool yes) {
  try {
    const std::string store = storeOrFail();
    const engine::UndoRunInfo run = runNamed(store, engine::ListUndoRuns(store), id);
    if (!dryRun && !yes) {
      requireTerminal(text::kUndoing);
      if (!askOnTerminal(words::UndoQuestion(run))) {
        std::fprintf(stderr, "%s\n", text::kUndoDeclined);
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
      std::puts(text::UndoUnfinishedLine(o).c_str());
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
    if (which != "all") {
      // Missing, dropped or deleted already: said as --undo says it, with the same status.
      const engine::UndoRunInfo run = runNamed(store, runs, which);
      ids.push_back(run.id);
      files = run.files;
      bytes = run.bytes;
    }
    for (const engine::UndoRunInfo& r : runs) {
      if (which != "all") break;
      ids.push_back(r.id);
      files += r.files;
      bytes += r.bytes;
    }
    if (ids.empty()) {
      std::puts(text::kNoRuns);
      return true;
    }
    if (!yes) {
      requireTerminal(text::kForgetting);
      if (!askOnTerminal(text::ForgetQuestion(which == "all", ids.front(), files, bytes))) {
        std::fprintf(stderr, "%s\n", text::kNothingForgotten);
        return false;
      }
    }
    const auto refused = engine::ForgetRuns(store, ids);
    for (const auto& [id, error] : refused) failure(words::ErrorText(error));
    std::puts(text::ForgottenLine(ids.size() - refused.size()).c_str());
    return refused.empty();
  } catch (const platform::Error& e) {
    return failure(words::ErrorText(e));
  }
}

}  // namespace cli
