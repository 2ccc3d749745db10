#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "engine/file_kind.h"

namespace engine {

/// The largest run of bytes read and replaced at one time.
inline constexpr std::size_t ChunkSize = 65529;

/// What a conversion uses, taken from the main window's controls when it runs.
/// The texts are characters in UTF-8; each file gets them in its own encoding.
struct MatchOptions {
  std::string findText;        ///< Text1; CR LF line breaks
  std::string replaceText;     ///< Text2
  bool caseSensitive = true;   ///< Check2
  bool skipBinary = true;      ///< Check1
  std::string extension;       ///< Text5: empty, or beginning with "."
  Encoding encoding = Encoding::Auto;  ///< how files are read
  /// A file of plain ASCII takes the replacement in UTF-8 rather than in the code page: where
  /// the user's locale is UTF-8, that is what such a file is.
  bool asciiAsUtf8 = false;
  /// The walk enters hidden folders below the walked one (tarvel-cli --hidden).
  bool enterHidden = false;
};

/// Lets the window process pending events during long loops; may be empty.
using EventPump = std::function<void()>;

/// The report the engine writes to: one line per skipped or failed file.
class MessageList {
 public:
  virtual ~MessageList() = default;
  /// Removes all lines.
  virtual void Clear() = 0;
  /// Appends `text` (UTF-8) as the last line; `measured` is its path part, for the width.
  virtual void AddLine(const std::string& text, const std::string& measured) = 0;
};

}  // namespace engine
