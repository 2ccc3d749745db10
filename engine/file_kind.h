#pragma once

#include <cstddef>
#include <string>

#include "engine/utf8.h"

namespace engine {

/// How a file's bytes are read.
enum class FileKind {
  Binary,    ///< holds a control byte; left alone while binary files are skipped
  Utf8,      ///< UTF-8 text: the texts are matched by character
  CodePage,  ///< single-byte text in the code page: one byte is one character
};

/// Which readings a run allows.
enum class Encoding {
  Auto,      ///< each file by its bytes: valid UTF-8 with a byte of 0x80 or more (or a
             ///< byte-order mark) is UTF-8, anything else is in the code page
  Utf8,      ///< every text file is UTF-8; one that is not valid fails
  CodePage,  ///< every file is single-byte text in the code page
};

/// Decides a file's kind from its bytes, given in order in pieces of any size: one look at
/// each byte, for the control bytes of a binary file and for valid UTF-8 at once.
class Classifier {
 public:
  /// `detectBinary`: a control byte makes the file binary (the skip-binary flag).
  /// `asciiAsUtf8`: a file of plain ASCII is UTF-8 rather than code page (a UTF-8 locale).
  Classifier(bool detectBinary, Encoding encoding, bool asciiAsUtf8);

  void feed(const char* data, std::size_t size);
  /// True when no later byte can change the verdict, so the rest need not be read.
  bool settled() const;
  /// True when a control byte of a binary file has been seen (with `detectBinary`).
  bool binarySoFar() const { return m_binary; }
  /// The kind after the last byte. Raises platform::Error (number 5) for a file that has to
  /// be UTF-8 and is not valid: every text file under Encoding::Utf8, and a file that begins
  /// with the UTF-8 byte-order mark.
  FileKind finish();

 private:
  bool m_detectBinary;
  Encoding m_encoding;
  bool m_asciiAsUtf8;
  bool m_binary = false;
  std::string m_head;  // the first three bytes, for the byte-order mark
  utf8::Validator m_utf8;
};

/// How the kind is named in reports: "UTF-8", or the code page's name.
std::string KindName(FileKind kind, const std::string& codePageName);

}  // namespace engine
