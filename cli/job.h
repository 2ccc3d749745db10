#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "engine/run/run.h"
#include "engine/text/file_kind.h"
#include "engine/text/pairs.h"
#include "platform/code_page.h"
#include "platform/error.h"

namespace cli {

/// One PATH of the command line.
struct Target {
  std::string given;  ///< as typed
  std::string path;   ///< without trailing "/"
  bool folder = false;
  std::optional<platform::Error> missing;  ///< it names nothing (one of several)

  /// The target as the engine walks it: a folder named without any "/" gets "./" in front
  /// ("." becomes the current folder's full path).
  engine::RunTarget runTarget() const;
};

/// What a run works on once the command line has been checked.
struct Job {
  std::optional<platform::CodePage> page;  ///< for files read single-byte
  engine::Encoding encoding = engine::Encoding::Auto;
  std::string find;     ///< UTF-8
  std::string replace;  ///< UTF-8
  bool regex = false;   ///< the find text is a regular expression
  /// Several pairs (--pairs, or --find given again); `find` and `replace` then hold what
  /// names the run: the pairs file, or the first pairs' texts.
  std::vector<engine::Pair> pairs;
  std::string pairsFile;  ///< --pairs F, as typed
  std::vector<Target> targets;

  /// Puts the texts in `options`: the find text and its replacement, or the pairs.
  void setTexts(engine::MatchOptions& options) const {
    options.pairs = pairs;
    options.findText = pairs.empty() ? find : pairs.front().find;
    options.replaceText = pairs.empty() ? replace : pairs.front().replace;
  }
};

/// Reads the texts (typed, or from files, which may be pipes: a signal ends the wait), names the
/// code page and checks every PATH. Raises UsageError for a bad call: nothing is changed then.
Job prepare(const Arguments& arguments);

/// The window's warning for one path; for several, the same words for all of them.
std::string WarningFor(const Job& job);

}  // namespace cli
