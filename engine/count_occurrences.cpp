#include "engine/count_occurrences.h"

#include "engine/source_file.h"

namespace engine {

FileOutcome CountOccurrences(const std::string& path, const Conversion& c) {
  SourceFile reading(path);
  FileOutcome outcome;
  outcome.kind = reading.classify(c);
  if (outcome.kind == FileKind::Binary) {
    c.messages.AddLine(BinaryFileLine(path), path);
    return outcome;
  }
  outcome.replacements = reading.stream(c, outcome.kind, [](std::string_view) {});
  return outcome;
}

}  // namespace engine
