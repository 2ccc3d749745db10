#include "engine/file/count_occurrences.h"

#include "engine/file/source_file.h"
#include "platform/file.h"

namespace engine {

FileOutcome CountOccurrencesAt(const FileRef& file, const Conversion& c) {
  SourceFile reading(file);
  FileOutcome outcome;
  outcome.kind = reading.classify(c, true);
  outcome.classified = true;
  if (outcome.kind == FileKind::Binary) return outcome;
  // A kind guessed wrong is counted again as what it is.
  for (;;) {
    outcome.replacements = reading.stream(c, outcome.kind, [](std::string_view, std::size_t) {});
    const FileKind found = reading.settle();
    if (found == outcome.kind) break;
    outcome.kind = found;
    outcome.replacements = 0;
    if (found == FileKind::Binary) return outcome;
  }
  outcome.pairCounts = reading.pairCounts();
  if (outcome.replacements > 0 || !c.options.leaveUnmatched) {
    outcome.refusal = ReplaceRefusal(reading.attributes(), c.options.hidden);
  }
  return outcome;
}

}  // namespace engine
