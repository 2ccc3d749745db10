#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/file/convert_file.h"
#include "engine/file/replacement.h"
#include "engine/text/file_kind.h"
#include "engine/text/replacer.h"
#include "platform/file.h"

namespace engine {

/// The find and replacement texts as a file of one kind holds them.
struct KindTexts {
  std::string find;
  std::string replace;
  bool findCannotOccur = false;                       ///< the encoding cannot hold the find text
  std::optional<platform::Error> replacementRefused;  ///< ... or the replacement
};
/// `lineBreak`: the file's own line break ("\r\n" or "\n"; empty where it has none), which
/// the texts' line breaks stand for unless every text means its bytes.
KindTexts TextsFor(FileKind kind, const Conversion& conversion, std::string_view lineBreak);

/// What else a stream does: each occurrence to a watcher, which says whether it is replaced
/// (and without output nothing is emitted), every byte read to `read` (a hash of the file).
struct StreamWatch {
  Replacer::Watcher* occurrences = nullptr;
  bool output = true;
  std::function<void(std::string_view bytes)> read;
};

/// One file as a conversion or a count reads it: opened once, checked, classified by one look
/// at its bytes, then read again through the replacer from the same descriptor. A file that
/// fits in one chunk is read only once.
class SourceFile {
 public:
  /// Opens the file as the regular file it is, relative to its folder (LockedFile).
  explicit SourceFile(const FileRef& file) : m_target(file) {}
  /// A file open already, read from its start.
  SourceFile(const FileRef& file, platform::File opened) : m_target(file, std::move(opened)) {}

  /// Takes the file for this conversion alone until it has been replaced (LockedFile::lock).
  void lock(const EventPump& pump, LockBudget* budget = nullptr) {
    m_target.lock(pump, budget);
    m_attributes.reset();
  }

  /// Decides the file's kind. A read error and a file that changes while it is read raise
  /// platform::Error; nothing has been written then.
  /// `mayGuess`: a file longer than one chunk that is text in its first chunk, searched for
  /// a literal text, is not read to its end first: classify() gives the kind its first chunk
  /// suggests, the stream weighs the rest as it reads it, and settle() gives the verdict. A
  /// caller streams again where the two differ.
  FileKind classify(const Conversion& conversion, bool mayGuess = false);
  /// The kind once the file has been streamed: the guess put right (Binary where a control
  /// byte came later; the stream stopped there), or what classify() found. Raises as
  /// classify() does, a file that is not valid where it must be included.
  FileKind settle();
  bool guessing() const { return m_classifier.has_value(); }
  /// The file's first bytes as classify() read them, until the stream begins; may be empty.
  std::string_view firstChunk() const;

  /// Reads the file through the replacer for `kind`, giving each finished piece of output to
  /// `emit` with the number of occurrences replaced so far; returns that number in the end.
  /// Raises platform::Error when the file cannot be read, changes meanwhile, would grow to
  /// 2 GiB, or holds the find text while the replacement cannot be written in the file's code
  /// page.
  using Emit = std::function<void(std::string_view piece, std::size_t replaced)>;
  using Watch = StreamWatch;
  std::size_t stream(const Conversion& conversion, FileKind kind, const Emit& emit,
                     const Watch& watch = {});

  /// A run of several pairs: how many occurrences of each pair the last stream replaced (or
  /// would), the pairs without any left out, in the pairs' order.
  using PairCounts = std::vector<std::pair<std::uint32_t, std::size_t>>;
  const PairCounts& pairCounts() const { return m_pairCounts; }

  /// The file's first line break, "\r\n" or "\n", or empty when it has none: what the line
  /// breaks of the texts stand for. Looked for only when a text holds one; in a UTF-16 file
  /// (as classify() found it) among its units.
  std::string_view lineBreak(const Conversion& conversion);

  LockedFile& target() { return m_target; }
  /// stream() for a regular expression: the whole file mapped and matched at once.
  std::size_t streamPattern(const Conversion& conversion, FileKind kind, const Emit& emit,
                            const Watch& watch);
  platform::File& file() { return m_target.file(); }
  const struct stat& status() const { return m_target.status(); }
  /// Read when first asked for (a file that will not be replaced never needs them).
  const platform::Attributes& attributes();

 private:
  LockedFile m_target;
  std::optional<platform::Attributes> m_attributes;
  bool m_read = false;         // the classification read from the descriptor
  std::size_t m_buffered = 0;  // ... and the file's first bytes are still in the chunk buffer
  std::optional<Classifier> m_classifier;  // weighing the rest of the file while it streams
  bool m_stoppedEarly = false;             // ... and the stream stopped where the guess failed
  FileKind m_kind = FileKind::Binary;  // what classify() found
  std::optional<std::string> m_lineBreak;
  PairCounts m_pairCounts;
};

}  // namespace engine
