#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/file/file_ref.h"
#include "engine/text/file_kind.h"
#include "engine/text/match_options.h"
#include "engine/text/pattern.h"
#include "platform/attributes.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/file.h"

namespace engine {

class LockBudget;
class OriginalKeeper;
struct OldFile;
struct PlannedFile;
class PathRules;

/// The size from which a conversion copies the text between occurrences in the kernel.
inline constexpr std::uint64_t CopyRangesFrom = std::uint64_t{1} << 20;

/// Everything one conversion works with. The caller owns the code page and the work-file path;
/// the engine keeps nothing between calls.
struct Conversion {
  MatchOptions options;
  const platform::CodePage& codePage;  ///< files read single-byte: encoding and case folding
  std::string workFile;                ///< from ChooseWorkFile
  EventPump pump;                   ///< called after each chunk; may be empty
  std::size_t chunkSize = ChunkSize;
  /// Other Tarvels may choose the same work file (the window's rule), so it is locked while
  /// it is used; false for a work file in a folder of this process alone (tarvel-cli's).
  bool workFileShared = true;
  /// The open folder that holds `workFile`, where the run keeps its work folder open: the work
  /// file is then reached through it alone, never by its path. -1: by the path.
  int workFolder = -1;
  /// Where each replaced file's original is kept for undo; none: nothing is kept.
  OriginalKeeper* undo = nullptr;
  /// The run's time for waiting on locks, shared by its conversions; none: 60 seconds a file.
  LockBudget* lockBudget = nullptr;
  /// Files this large or larger have the text between their occurrences copied by the kernel
  /// rather than through the program, unless their first chunk shows the occurrences close
  /// together; 0: every file, however close its occurrences.
  std::uint64_t copyRangesFrom = CopyRangesFrom;
  /// With MatchOptions::regex: the find text and the replacement compiled once for the run,
  /// shared by its conversions.
  const CompiledPattern* pattern = nullptr;
  /// How long each file's search by a pattern may take (a file in UTF-16 is searched so too).
  SearchBudget searchBudget{};
  /// The run's --exclude and --include patterns, shared by its walks, which mark those that
  /// match; none: each walk reads its own from the options.
  const PathRules* excludeRules = nullptr;
  const PathRules* includeRules = nullptr;
};

/// The work-file path for this run: the temporary folder + "/k5ywhqx", or, while a file of that
/// name exists, "k5ywhqx0", "k5ywhqx1" ... (a folder does not count). Creates nothing.
std::string ChooseWorkFile(const EventPump& pump = {});

/// What a conversion or a count found in one file.
struct FileOutcome {
  FileKind kind = FileKind::CodePage;
  /// The file was read far enough to know its kind (a failure may come before).
  bool classified = false;
  std::size_t replacements = 0;
  /// A count only: why the conversion would refuse to replace the file (hidden, system,
  /// read-only), found from the same look at the file.
  std::optional<platform::Error> refusal;
  /// A conversion: the old file it replaced, kept open to be looked at once more later.
  std::shared_ptr<OldFile> replaced;
  /// A run of several pairs: the occurrences of each pair, those without any left out.
  std::vector<std::pair<std::uint32_t, std::size_t>> pairCounts;
};

/// The folder of `path`, open, with the file's name in it: where a file named on its own is
/// converted or counted from. A path whose last part names a folder ("/", "x/.", "x/..")
/// raises platform::Error (kIsFolder); so does a folder that cannot be opened, and one of the
/// kernel's own file systems is refused.
struct FileInFolder {
  platform::File folder;
  std::string name;
};
FileInFolder OpenFolderOf(const std::string& path);

/// Rewrites `file` (named in an open folder) with every occurrence of the find text replaced,
/// in the file's own encoding: the file is opened once and classified by one look at its bytes
/// (binary, UTF-8 or code page), then converted from the same descriptor, every step (open,
/// checks, the rename over it) made relative to that folder. Returns true when the file was
/// rewritten, false when it was skipped as binary or, unmatched files being left alone, held
/// no occurrence. Raises platform::Error on any failure; the file is then as it was. The
/// converted text replaces the file in one rename, never after removing it first. `outcome`,
/// when given, receives the file's kind and the number of occurrences replaced.
/// With `reviewed`, the plan the user saw of this file, only its accepted occurrences are
/// replaced, and only while the file is exactly as planned (its identity, its kind and the hash
/// of its bytes): else it is left as it is (platform::Why::ChangedSinceReview).
bool ConvertFileAt(const FileRef& file, const Conversion& conversion,
                   FileOutcome* outcome = nullptr, const PlannedFile* reviewed = nullptr);

/// The failure that the replace step gives a hidden, system or read-only file, or nothing.
/// `hiddenToo`: a hidden file is rewritten as any other (MatchOptions::hidden).
std::optional<platform::Error> ReplaceRefusal(const platform::Attributes& attributes,
                                              bool hiddenToo = false);

/// Raises the failure a conversion gives where it would replace a hidden, system or read-only
/// file (platform::kRefusedAttribute); returns when the file may be replaced.
void CheckReplaceable(const std::string& path);

/// The user's own folder in the temporary folder, where the work file lives when others may
/// write to the temporary folder: $TMPDIR/tarvel-<uid>.
std::string OwnPrivateFolder();

/// The user's private folder at `path` (OwnPrivateFolder()), open: made when missing (mode
/// 0700), never reached through a link as its last part, and refused (platform::Error) unless
/// it is a folder of this user that nobody else may enter.
platform::File OpenPrivateFolder(const std::string& path);

/// Removes the work file when it is a regular file of this user, and, unless `folderToo` is
/// false, the user's private folder that held it once it is empty; reports nothing.
void DeleteWorkFile(const std::string& workFile, bool folderToo = true);


}  // namespace engine
