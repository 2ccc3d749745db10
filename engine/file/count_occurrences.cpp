#include "engine/file/count_occurrences.h"

#include "engine/file/source_file.h"
#include "platform/file.h"

namespace engine {

FileOutcome CountOccurrencesAt(const FileRef& file, const Conversion& c) {
  SourceFile reading(file);
  FileOutcome outcome;
  outcome.kind = reading.classify(c);
  outcome.classified = true;
  if (outcome.kind == FileKind::Binary) return outcome;
  outcome.replacements =
      reading.stream(c, outcome.kind, [](std::string_view, std::size_t) {});
  if (outcome.replacements > 0 || !c.options.leaveUnmatched) {
    outcome.refusal = ReplaceRefusal(reading.attributes());
  }
  return outcome;
}

}  // namespace engine
