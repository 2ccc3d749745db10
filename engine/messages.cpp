#include "engine/messages.h"

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

}  // namespace engine
