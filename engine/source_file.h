#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/convert_file.h"
#include "engine/file_kind.h"
#include "platform/file.h"

namespace engine {

/// One file as a conversion or a count reads it: opened once, checked, classified by one look
/// at its bytes, then read again through the replacer from the same descriptor. A file that
/// fits in one chunk is read only once.
class SourceFile {
 public:
  /// Opens the file as the regular file it is, relative to its folder. Links, pipes, devices
  /// and folders are refused before they are opened, so nothing hangs and no link is replaced
  /// by a copy. Its attributes are read once, from the open descriptor.
  explicit SourceFile(const FileRef& file);

  /// Takes the file for this conversion alone: an exclusive flock, held until the file has
  /// been replaced. Another Tarvel that holds it is waited for (pumping events), and the file
  /// is then opened again, since the other one has replaced it. A lock held for more than 60
  /// seconds, by any program, fails the file.
  void lock(const EventPump& pump);

  /// Decides the file's kind. A read error, a file that changes while it is read and a file
  /// too large for the program (2 GiB; unless it is found binary in its first chunk) raise
  /// platform::Error; nothing has been written then.
  FileKind classify(const Conversion& conversion);

  /// Reads the file through the replacer for `kind`, giving each finished piece of output to
  /// `emit` with the number of occurrences replaced so far; returns that number in the end.
  /// Raises platform::Error when the file cannot be read, changes meanwhile, would grow to
  /// 2 GiB, or holds the find text while the replacement cannot be written in the file's code
  /// page.
  using Emit = std::function<void(std::string_view piece, std::size_t replaced)>;
  std::size_t stream(const Conversion& conversion, FileKind kind, const Emit& emit);

  platform::File& file() { return m_file; }
  const struct stat& status() const { return m_status; }
  /// Read when first asked for (a file that will not be replaced never needs them).
  const platform::Attributes& attributes();

 private:
  void open();

  const FileRef& m_ref;
  platform::File m_file;
  struct stat m_status {};
  std::uint64_t m_flags = 0;  // statx attribute flags
  std::optional<platform::Attributes> m_attributes;
  bool m_read = false;           // the classification read from the descriptor
  bool m_wholeInBuffer = false;  // ... and the whole file is still in the chunk buffer
};

}  // namespace engine
