#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "engine/file/replacement.h"
#include "platform/error.h"

namespace engine {

/// The old files of a run's replacements, looked at once more later: a program that opened a
/// file before its rename may write to the old file after the replacement's own look, and that
/// write is in no file the user sees. Each old file stays open for a while (two seconds, or
/// while it is among the last ones kept, as many as the process's descriptors allow, at most
/// 1024) and is looked at once more before it is closed; the rest when the run ends. Where undo
/// keeps the old file itself, the journal looks at it in the store (UndoJournal::lookAtKept).
class OldFiles {
 public:
  /// What a late look found: the file, its failure and how many occurrences it had replaced.
  using Report =
      std::function<void(const std::string& path, const platform::Error& e, std::size_t replaced)>;

  explicit OldFiles(Report report);

  /// Keeps `old` open; the oldest ones are looked at and closed as time and room require.
  void remember(std::shared_ptr<OldFile> old);
  /// Looks at every old file still open, and closes them.
  void lookAtAll();

 private:
  struct Recent {
    std::chrono::steady_clock::time_point replaced;
    std::shared_ptr<OldFile> old;
  };

  void settle(OldFile& old);

  Report m_report;
  std::deque<Recent> m_recent;  // oldest first
  std::size_t m_kept;           // how many stay open at once
};

}  // namespace engine
