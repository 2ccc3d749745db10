#include "engine/file/count_occurrences.h"

#include "engine/file/source_file.h"
#include "platform/file.h"

namespace engine {

FileOutcome CountOccurrences(const std::string& path, const Conversion& c) {
  const FileInFolder at = OpenFolderOf(path);
  const FileOutcome outcome = CountOccurrencesAt({at.folder.fd(), at.name, path}, c);
  if (outcome.kind == FileKind::Binary) c.messages.Add(RunItem::SkippedAs(SkipReason::Binary, path));
  return outcome;
}

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
