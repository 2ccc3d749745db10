#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file/convert_file.h"
#include "engine/text/file_kind.h"

namespace engine {

/// A file as it was read for a plan: a later conversion of it holds to exactly these bytes.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  timespec modified{};
  timespec changed{};  ///< the inode's change time: a chmod, a new link, a write
  std::uint64_t hash = 0;  ///< XXH3 of every byte

  /// Whether `now` still looks like the file (all but the hash, which takes reading it).
  bool sameAs(const struct stat& now) const;
  static FileIdentity Of(const struct stat& st);
};

/// One occurrence that a conversion would replace. Its text and the lines around it are not
/// kept: they are read again from the file when shown.
struct Occurrence {
  std::uint64_t offset = 0;  ///< in the file, in bytes
  std::uint64_t line = 0;    ///< from 1
  std::uint32_t length = 0;  ///< in bytes
  std::uint32_t column = 0;  ///< from 1, in characters (saturated in a line of 4 G characters)
};

/// Where a planned file was met: its folder's path without links, that folder's device and
/// inode, and the file's name in it. Applying the plan reaches the file only through that very
/// folder. An empty `folder`: a file read from standard input, which has no place.
struct PlannedPlace {
  std::string folder;
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;
};

/// The occurrences of one file, and the file as they were found in it.
struct PlannedFile {
  std::string path;  ///< as the run named it
  PlannedPlace place;
  FileKind kind = FileKind::Utf8;
  std::string lineBreak;  ///< what the texts' line breaks stood for (SourceFile::lineBreak)
  FileIdentity identity;
  std::vector<Occurrence> occurrences;  ///< in the file's order
  std::vector<bool> accepted;           ///< one for each occurrence: all accepted at first
  /// Where an occurrence's replacement depends on its match (a regular expression's groups,
  /// lookarounds and \K, a kept case): the bytes the conversion writes for each occurrence, one
  /// after another, as the file holds them. Empty where every occurrence takes the same text.
  std::string replacements;
  std::vector<std::uint64_t> replacementEnds;  ///< one for each occurrence, or none
  /// A run of several pairs: each occurrence's pair (an index in MatchOptions::pairs); else none.
  std::vector<std::uint32_t> pairs;

  std::size_t acceptedCount() const;
  /// Occurrence `i`'s own replacement; only where replacementEnds is not empty.
  std::string_view replacementOf(std::size_t i) const;
};

/// What a conversion of `file` would replace, the file only read: its kind, the occurrences
/// with their lines and columns, and its identity with the hash of all its bytes. The same
/// checks as CountOccurrencesAt's apply, and `found` gets what a count would give (the kind,
/// the number, the refusal of a hidden, system or read-only file). Raises platform::Error where
/// a count would.
PlannedFile PlanOccurrencesAt(const FileRef& file, const Conversion& conversion,
                              FileOutcome& found);

class SourceFile;
/// The same for a file open already (standard input, spooled), read from its start.
PlannedFile PlanOccurrences(SourceFile& reading, const Conversion& conversion, FileOutcome& found);

}  // namespace engine
