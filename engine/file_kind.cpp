#include "engine/file_kind.h"

#include "engine/binary_test.h"
#include "platform/error.h"

namespace engine {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

Classifier::Classifier(bool detectBinary, Encoding encoding, bool asciiAsUtf8)
    : m_detectBinary(detectBinary), m_encoding(encoding), m_asciiAsUtf8(asciiAsUtf8) {}

void Classifier::feed(const char* data, std::size_t size) {
  if (m_head.size() < 3) m_head.append(data, std::min(size, 3 - m_head.size()));
  const bool lookForControls = m_detectBinary && !m_binary;
  if (m_encoding != Encoding::CodePage && m_utf8.valid()) {
    // One pass for both while the text is valid UTF-8.
    bool control = false;
    m_utf8.feed(data, size, lookForControls ? &control : nullptr);
    m_binary = m_binary || control;
  } else if (lookForControls) {
    m_binary = HasControlByte(data, size);
  }
}

bool Classifier::settled() const {
  if (m_detectBinary) return m_binary;
  return m_encoding == Encoding::CodePage || !m_utf8.valid();
}

FileKind Classifier::finish() {
  if (m_detectBinary && m_binary) return FileKind::Binary;
  if (m_encoding == Encoding::CodePage) return FileKind::CodePage;
  const bool valid = m_utf8.finish();
  const bool marked = m_head == kByteOrderMark;
  if (!valid && (m_encoding == Encoding::Utf8 || marked)) {
    throw platform::Error(
        platform::kBadCharacter,
        std::string("Не удалось прочитать файл как UTF-8: ") +
            (marked ? "файл начинается с метки UTF-8, но в нём " : "") +
            "недопустимая последовательность байтов в позиции " +
            std::to_string(m_utf8.invalidAt() + 1));
  }
  if (!valid) return FileKind::CodePage;
  if (m_encoding == Encoding::Utf8 || m_utf8.sawHighByte() || m_asciiAsUtf8) {
    return FileKind::Utf8;
  }
  return FileKind::CodePage;
}

std::string KindName(FileKind kind, const std::string& codePageName) {
  switch (kind) {
    case FileKind::Binary:
      return "двоичный";
    case FileKind::Utf8:
      return "UTF-8";
    case FileKind::CodePage:
      break;
  }
  return codePageName;
}

}  // namespace engine
