#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file/planned_file.h"
#include "platform/file.h"

namespace engine {

/// A planned file read again to show its changes: the lines around an occurrence are never
/// kept in a plan. Opened (never through a link) and checked to be the file as planned; a file
/// changed since raises platform::Error (platform::Why::ChangedSinceReview). The file is read
/// through one window of at most kWindow bytes: a file that fits is read once, whatever the
/// number of its occurrences; a bigger one a window at a time, as its occurrences go on.
class ShownFile {
 public:
  static constexpr std::size_t kWindow = std::size_t{8} << 20;

  explicit ShownFile(const PlannedFile& plan);
  /// The planned file open already (standard input, spooled): read from `file`.
  ShownFile(const PlannedFile& plan, int file);

  /// `size` bytes at `offset` (fewer at the end of the file).
  std::string read(std::uint64_t offset, std::size_t size);
  /// Where the line that holds the byte at `offset` begins, or the line `above` lines above it
  /// (the file's start, where there are fewer).
  std::uint64_t lineStart(std::uint64_t offset, std::size_t above = 0);
  /// Where the line that holds the byte at `offset` ends, past its line break (the file's end
  /// for the last line).
  std::uint64_t lineEnd(std::uint64_t offset);
  /// Whether the line break of the line that ends at `end` (or earlier) comes just before it.
  bool endsLine(std::uint64_t end);
  std::uint64_t size() const { return m_size; }
  /// As planned: in UTF-16 a line feed is a unit of two bytes.
  FileKind kind() const { return m_kind; }
  /// The reads of the file so far, for the tests of the window's reuse.
  std::size_t reads() const { return m_reads; }

 private:
  // Makes the window hold the byte at `offset` (below the file's size), and `size` bytes from
  // it where the window is wide enough; returns the byte's place in the window.
  const char* at(std::uint64_t offset, std::size_t size = 1);
  // `size` bytes at `offset` read into `to`, all of them or the file was changed.
  void readInto(char* to, std::uint64_t offset, std::size_t size);

  platform::File m_owned;
  int m_fd = -1;
  std::uint64_t m_size = 0;
  FileKind m_kind;
  std::uint64_t m_windowStart = 0;
  // The bytes from m_windowStart: read into as soon as it is sized, so never cleared first.
  std::unique_ptr<char[]> m_window;
  std::size_t m_windowRoom = 0;
  std::size_t m_windowSize = 0;
  std::size_t m_reads = 0;
};

/// How a file's changes are shown: the replacement in the file's encoding, and its bytes turned
/// into UTF-8 for the screen.
struct ShownTexts {
  std::string replacement;  ///< as the file holds it, where every occurrence takes the same
  std::function<std::string(std::string_view)> toUtf8;  ///< empty: the file is UTF-8

  /// What the conversion writes for occurrence `index` of `plan`: its own replacement where the
  /// plan keeps one, as the file holds it.
  std::string_view replacing(const PlannedFile& plan, std::size_t index) const {
    return plan.replacementEnds.empty() ? std::string_view(replacement) : plan.replacementOf(index);
  }
};

/// One occurrence with the lines around it, in UTF-8.
struct ShownOccurrence {
  std::string before;  ///< the lines above it, and its first line up to it
  std::string found;
  std::string replacement;
  std::string after;   ///< the rest of its last line, and the lines below it
};
/// Occurrence `index` of `plan`, with `context` lines around it.
ShownOccurrence ShowOccurrence(ShownFile& file, const PlannedFile& plan, std::size_t index,
                               const ShownTexts& texts, std::size_t context);

/// One occurrence on its line, in UTF-8, as a list of one row per occurrence shows it: at most
/// `around` bytes of the line on either side of it are read, since one line (of a minified
/// script, say) may run to megabytes. Neither side holds the line break that ends the line.
struct ShownLine {
  std::string before;  ///< the line up to the occurrence
  std::string found;
  std::string replacement;
  std::string after;  ///< the rest of the line; empty when the occurrence ends the line
  bool cutBefore = false;  ///< the line begins further back than `before` goes
  bool cutAfter = false;   ///< the line goes on past `after`
};
ShownLine ShowLine(ShownFile& file, const PlannedFile& plan, std::size_t index,
                   const ShownTexts& texts, std::size_t around);

/// A unified diff's hunk of the accepted occurrences, its lines in UTF-8 with their sign.
struct DiffLine {
  char sign = ' ';        ///< ' ', '-' or '+'
  std::string_view text;  ///< with its line break, if it has one; held while the hunk is given
  bool lastWithoutBreak = false;  ///< the file's last line, without a line break
};
struct DiffHunk {
  std::uint64_t oldStart = 0, oldCount = 0, newStart = 0, newCount = 0;
  std::vector<DiffLine> lines;
  /// "@@ -a,b +c,d @@"
  std::string header() const;
};

/// The hunks of the plan's accepted occurrences, in order, each given to `hunk` as it is made:
/// changes fewer than 2 * `context` lines apart share a hunk, as diff -u makes them.
void ForEachHunk(ShownFile& file, const PlannedFile& plan, const ShownTexts& texts,
                 std::size_t context, const std::function<void(const DiffHunk&)>& hunk);

}  // namespace engine
