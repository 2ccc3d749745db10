#include "engine/messages.h"

#include <cstdio>

#include "engine/convert_file.h"
#include "engine/folder_walk.h"
#include "engine/utf8.h"
#include "platform/attributes.h"

namespace engine {
namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string FileWarning(const std::string& path, const std::string& find,
                        const std::string& replace) {
  return "Внимание! В файле " + quoted(path) + " все сочетания символов " + quoted(find) +
         " будут заменены на " + quoted(replace) + ".\r\nПерезаписать файл ?";
}

std::string FolderWarning(const std::string& folder, const std::string& find,
                          const std::string& replace) {
  return "Внимание! Во всех файлах, находящихся в папке " + quoted(folder) +
         " и её вложенных подпапках, все сочетания символов " + quoted(find) +
         " будут заменены на " + quoted(replace) + ".\r\nПерезаписать все файлы ?";
}

std::string NormalizeExtension(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  std::string extension = text.substr(first, text.find_last_not_of(' ') - first + 1);
  if (extension.front() != '.') extension.insert(extension.begin(), '.');
  return extension;
}

std::string ShownPath(std::string_view path) {
  std::string shown;
  shown.reserve(path.size());
  const bool decoded = utf8::isValid(path);  // a name in another encoding keeps its bytes
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    char escape[8];
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      shown += escape;
    } else if (decoded && c == 0xC2 && i + 1 < path.size() &&
               static_cast<unsigned char>(path[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(path[i + 1]) <= 0x9F) {
      // U+0080 to U+009F, the C1 controls, in UTF-8.
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(path[++i]));
      shown += escape;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

void MessageList::Add(const ReportItem& item) {
  if (item.kind == ReportItem::Kind::Binary) {
    AddLine(BinaryFileLine(item.path), ShownPath(item.path));
  } else {
    AddLine(FailureLine(item.number, item.description, platform::folderName(item.path),
                        platform::baseName(item.path)),
            ShownPath(item.path));
  }
}

}  // namespace engine
