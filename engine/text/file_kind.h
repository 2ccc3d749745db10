#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <optional>
#include <string_view>

#include "engine/text/utf16.h"
#include "engine/text/utf8.h"

namespace platform {
class CodePage;
}

namespace engine {

/// `text` with each of its line breaks, CR LF or a lone LF, written as `lineBreak`.
std::string WithLineBreaks(std::string_view text, std::string_view lineBreak);

/// The line break a replacement takes for an occurrence: the first one `found` holds, "\r\n" or
/// "\n", or, where it holds none, `fileBreak` (LF where that is empty too).
std::string_view UsedLineBreak(std::string_view found, std::string_view fileBreak);

/// How a file's bytes are read.
enum class FileKind {
  Binary,    ///< holds a control byte; left alone while binary files are skipped
  Utf8,      ///< UTF-8 text: the texts are matched by character
  CodePage,  ///< single-byte text in the code page: one byte is one character
  Utf16Le,   ///< UTF-16 behind its byte-order mark, little-endian: matched by character as
             ///< UTF-8 is, written back in the same order
  Utf16Be,   ///< ... big-endian
};

inline bool IsUtf16(FileKind kind) { return kind == FileKind::Utf16Le || kind == FileKind::Utf16Be; }

/// Which readings a run allows.
enum class Encoding {
  Auto,      ///< each file by its bytes: a UTF-16 byte-order mark makes UTF-16, valid UTF-8
             ///< with a byte of 0x80 or more (or its byte-order mark) UTF-8, anything else
             ///< is in the code page
  Utf8,      ///< every text file is UTF-8 (or UTF-16 behind its mark); one that is not valid
             ///< fails
  CodePage,  ///< every file is single-byte text in the code page, a UTF-16 mark or not
};

/// Decides a file's kind from its bytes, given in order in pieces of any size: one look at
/// each byte, for the control bytes of a binary file and for valid UTF-8 at once.
class Classifier {
 public:
  /// `detectBinary`: a control byte makes the file binary (the skip-binary flag).
  /// `asciiAsUtf8`: a file of plain ASCII is UTF-8 rather than code page (a locale
  /// that chose no single-byte code page).
  /// `size`: the file's length, for the reader to stop as early as it can.
  /// `codePage`: the code page the file is read in if it is single-byte text, which tells how
  /// likely its UTF-8 characters are as text of that code page; none: CodePage::system().
  Classifier(bool detectBinary, Encoding encoding, bool asciiAsUtf8, std::uint64_t size = 0,
             const platform::CodePage* codePage = nullptr);

  void feed(const char* data, std::size_t size);
  /// True when no later byte can change the verdict, so the rest need not be read.
  bool settled() const;
  /// True when the bytes must be fed again from the start: a file found not to be valid UTF-8
  /// after its first piece is weighed as a whole (how much of it is UTF-8).
  bool wantsStart() const { return m_wantsStart; }
  /// The next bytes fed are the file's from its start.
  void restarted();
  /// A control byte has been seen while binary files are detected: the verdict is Binary.
  bool foundBinary() const { return m_detectBinary && m_binary; }
  /// No byte so far breaks UTF-8.
  bool validUtf8() const { return m_utf8.valid(); }
  /// How many bytes have been fed since the start (or the last restart).
  std::uint64_t fed() const { return m_fed; }
  /// The bytes began with a UTF-16 byte-order mark.
  bool utf16() const { return m_utf16.has_value(); }
  /// What finish() would say if the file ended here (CodePage where it would raise).
  FileKind guess() const;
  /// The kind after the last byte. Raises platform::Error (number 5) for a file that has to
  /// be UTF-8 and is not valid: every text file under Encoding::Utf8, a file that begins with
  /// the UTF-8 byte-order mark, and, under Encoding::Auto, a file almost wholly in UTF-8 (at
  /// least three valid multi-byte sequences for each byte that belongs to none, or two that
  /// would be unlikely text in the code page, see SequenceTally), which is no
  /// single-byte text either: reading it so would break its characters. A file with no valid
  /// multi-byte sequence, or with many bytes outside them (real CP1251 or KOI8-R text), is in
  /// the code page. A file that begins with a UTF-16 byte-order mark is UTF-16 (binary where
  /// a unit is a control character, as a byte is for the rest), and raises the same error
  /// (Why::BadUtf16At) when it is not valid UTF-16 after the mark: a lone surrogate, or an odd
  /// number of bytes.
  FileKind finish();

 private:
  bool refusalOutOfReach() const;

  bool m_detectBinary;
  Encoding m_encoding;
  bool m_asciiAsUtf8;
  bool m_binary = false;
  std::string m_head;  // the first three bytes, for the byte-order mark
  std::optional<utf16::Validator> m_utf16;  // once the first two bytes are a UTF-16 mark
  utf8::Validator m_utf8;
  std::uint64_t m_size;
  std::uint64_t m_fed = 0;
  utf8::SequenceTally m_tally;  // from the start, once the file is found not to be valid
  bool m_tallying = false;
  bool m_wantsStart = false;
};

/// The bytes 0x80 to 0xBF that are letters in `page`, bit b - 0x80 for byte b (for
/// SequenceTally): those of its alphabet, the letters it holds in both cases. What UTF-8's
/// continuation bytes would read as there: in CP1251 "Ё", "ё", "і" and the like, not "°" or
/// "»"; in KOI8-R only "ё" and "Ё" among its box-drawing characters.
std::uint64_t ContinuationLetters(const platform::CodePage& page);

}  // namespace engine
