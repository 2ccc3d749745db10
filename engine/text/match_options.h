#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/text/file_kind.h"
#include "engine/text/pairs.h"

namespace engine {

/// The largest run of bytes read and replaced at one time.
inline constexpr std::size_t ChunkSize = 65529;

/// What a conversion uses, taken from the main window's controls when it runs.
/// The texts are characters in UTF-8; each file gets them in its own encoding.
struct MatchOptions {
  std::string findText;        ///< Text1; CR LF line breaks (a line break matches the file's)
  std::string replaceText;     ///< Text2
  /// Several find texts and their replacements, replaced at once (tarvel-cli --pairs, or
  /// --find given more than once): each file is searched once, and at each place the pair
  /// whose text begins leftmost wins, then the longest, then the first listed; no replacement
  /// is searched again. `findText` and `replaceText` then hold the first pair. Empty: one pair.
  std::vector<Pair> pairs;
  bool caseSensitive = true;   ///< Check2
  bool skipBinary = true;      ///< Check1
  std::string extension;       ///< Text5: empty, or beginning with "."
  Encoding encoding = Encoding::Auto;  ///< how files are read
  /// A file of plain ASCII takes the replacement in UTF-8 rather than in the code page: where
  /// the user's locale is UTF-8, that is what such a file is.
  bool asciiAsUtf8 = false;
  /// Hidden folders below the walked one are entered and hidden files rewritten, as any
  /// others (tarvel-cli --hidden); `.git` and the program's own folders still never.
  bool hidden = false;
  /// In a git work tree, a walk leaves alone what git would ignore (tarvel-cli without
  /// --no-ignore; the window walks every file).
  bool gitIgnores = false;
  /// Every text means its bytes: a line break matches only the same bytes and is written as
  /// typed (tarvel-cli --exact-line-breaks). Otherwise a line break, CR LF or LF, stands for the
  /// file's own: its first line break, or LF in a file without one.
  bool exactLineBreaks = false;
  /// An occurrence counts only where the characters before and after it are no letters,
  /// digits or underscores (tarvel-cli -w).
  bool wholeWords = false;
  /// Each occurrence gets the replacement in its own case: all lower, all upper, or its first
  /// letter upper (tarvel-cli --preserve-case; matching then ignores case).
  bool preserveCase = false;
  /// The find text is a regular expression (PCRE2), the replacement may name its groups
  /// (tarvel-cli -E).
  bool regex = false;
  /// A file without an occurrence is left as it was (inode, times, links), not rewritten
  /// (tarvel-cli's default; the window rewrites every file it visits).
  bool leaveUnmatched = false;
  /// More extensions besides `extension` (tarvel-cli's --ext, given several times): a file
  /// whose extension is any of them is selected.
  std::vector<std::string> extensions;
  /// Files and folders a walk leaves out (tarvel-cli's --exclude), with the rules of a
  /// .gitignore line, relative to the walked folder (PathRules).
  std::vector<std::string> excludes;
  /// In a walked folder, only the files these match (tarvel-cli's --include), with the rules of
  /// --exclude; none: every file.
  std::vector<std::string> includes;
  /// Files larger than this many bytes are left alone, with a line (tarvel-cli's --max-size);
  /// 0: no limit.
  std::uint64_t maxSize = 0;
};

/// Lets the window process pending events during long loops; may be empty.
using EventPump = std::function<void()>;

}  // namespace engine
