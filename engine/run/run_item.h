#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/file/planned_file.h"
#include "engine/text/file_kind.h"
#include "platform/error.h"

namespace engine {

/// Why a file was left alone on purpose.
enum class SkipReason {
  Binary,     ///< it holds control bytes, and binary files are left alone
  Unmatched,  ///< it does not hold the find text, and such files are left alone
  Excluded,   ///< the user excluded it (tarvel-cli --exclude)
  Ignored,    ///< git would ignore it (tarvel-cli in a work tree)
  Refused,    ///< the program's own rules refuse it: the error says which (Refusal)
};

/// Why git's ignore rules of a repository, a folder or a file are not applied to a walk (they
/// could hide the user's files from the run, and someone else could have written them), or
/// not as git would apply them.
enum class IgnoreNotice {
  None,
  OtherUsersRepository,  ///< the repository (its top or its .git) belongs to another user
  FolderOpenToOthers,    ///< the ignore file's folder may be written by other users
  OtherUsersFile,        ///< the ignore file belongs to another user
  IndexNotRead,          ///< the repository's index cannot be read: tracked files are not known
  GlobalFileNotRead,     ///< the user's global excludes file is there but cannot be read
};

/// One file or folder as a run reports it: what happened, as values. Each face words it.
struct RunItem {
  enum class Kind {
    Changed,    ///< occurrences replaced (in a dry run: found, and would be replaced)
    Unchanged,  ///< rewritten without an occurrence (the window rewrites every file it visits)
    Skipped,    ///< left alone on purpose: `reason`
    Failed,     ///< could not be converted, or a folder could not be walked: `error`
    Notice,     ///< a walk's word on ignore rules it does not apply (`notice`); counted nowhere
  };
  Kind kind = Kind::Failed;
  std::string path;              ///< as the walk or the user named it
  bool folder = false;           ///< a folder not entered (or not walked), not a file
  bool visited = false;          ///< a file the run looked at (counted among the files)
  bool named = false;            ///< a file named on its own, not found by a walk
  /// A file reported already as replaced, found written to by another program afterwards: a
  /// failure instead of what it was counted as (Failed, with `replacements` as replaced).
  bool late = false;
  std::size_t replacements = 0;  ///< replaced; for a file refused or failed, found
  /// A run of several pairs, a file Changed: its replacements by pair (FileOutcome::pairCounts).
  std::vector<std::pair<std::uint32_t, std::size_t>> pairCounts;
  std::optional<FileKind> encoding;  ///< how the file was read, once it was
  SkipReason reason = SkipReason::Refused;
  /// Notice's: why; `path` is the repository's top, or the ignore file or index not read.
  IgnoreNotice notice = IgnoreNotice::None;
  std::optional<platform::Error> error;  ///< why it failed, or the refusal (Skipped, Refused)
  /// A plan's item that holds an occurrence: what would be replaced (PlanFiles).
  std::shared_ptr<PlannedFile> plan;
  /// What a face's own file action made of the item where the file was done (a plan's diff,
  /// made by the worker), for its sink to give out in order; empty when it made nothing.
  std::string shown;

  /// The item for `error` on `path`: Skipped when the error is a refusal, else Failed.
  static RunItem FromError(const std::string& path, const platform::Error& error);
  static RunItem SkippedAs(SkipReason reason, const std::string& path);
  static RunItem Noticed(IgnoreNotice notice, const std::string& path);
};

/// What a run did, added up from its items: the summary and the exit status come from it. Every
/// file the run met is counted once in `files`, and in one of changed, unchanged, skipped and
/// failures; folders it did not enter and links it left are counted apart, as are the files
/// and folders the user excluded.
struct RunTally {
  std::size_t files = 0;         ///< files met: changed + unchanged + skipped + failures
  std::size_t changed = 0;       ///< files with an occurrence replaced (or to be)
  std::size_t unchanged = 0;     ///< files without an occurrence: left as they were, or rewritten
  std::size_t replacements = 0;  ///< occurrences replaced
  std::size_t found = 0;         ///< occurrences found, replaced or not (a refused file's too)
  std::size_t skipped = 0;       ///< files left alone on purpose: binary, refused
  /// Of `unchanged`, the files rewritten without an occurrence (MatchOptions::leaveUnmatched off).
  std::size_t rewritten = 0;
  /// Of `skipped`, the files the program's own rules refused (read-only, hidden, system…): each
  /// with an error that says which.
  std::size_t refused = 0;
  std::size_t failures = 0;      ///< files that failed
  std::size_t folders = 0;       ///< folders not entered: refused, or failed
  std::size_t folderFailures = 0;  ///< of those, the ones that failed
  std::size_t links = 0;         ///< symbolic links, which are never followed nor replaced
  std::size_t excluded = 0;      ///< files and folders the user excluded
  std::size_t ignored = 0;       ///< files and folders git would ignore
  std::set<FileKind> readAs;     ///< how the files were read
  /// A run of several pairs: the replacements of each pair (indexed as MatchOptions::pairs;
  /// as long as the last pair that had one).
  std::vector<std::size_t> perPair;

  void add(const RunItem& item);
  /// This, a plan's tally, once `applied` (the tally of the run that applied the plan) has
  /// replaced what was accepted: the files planned and not written count as unchanged, and
  /// `failedBefore` of them failed before they could be applied.
  RunTally afterApplying(const RunTally& applied, std::size_t failedBefore = 0) const;
  /// True when something failed: a file, a folder, a target.
  bool failed() const { return failures + folderFailures > 0; }
};

}  // namespace engine
