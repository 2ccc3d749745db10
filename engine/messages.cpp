#include "engine/messages.h"

#include <unicode/locid.h>
#include <unicode/plurrule.h>

#include <cstdio>
#include <memory>

#include "engine/convert_file.h"
#include "engine/folder_walk.h"
#include "engine/undo.h"
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

std::string Shortened(std::string_view text, std::size_t limit) {
  std::size_t end = 0;
  for (std::size_t characters = 0; end < text.size(); ++characters) {
    if (characters == limit) return std::string(text.substr(0, end)) + "…";
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return std::string(text);
}

std::string FilesText(std::size_t count) {
  // ICU's plural rules for Russian: one (1, 21, 101 …), few (2–4, 22–24 …), many (the rest).
  static const std::unique_ptr<icu::PluralRules> rules = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::PluralRules> r(icu::PluralRules::forLocale(icu::Locale("ru"), status));
    return U_SUCCESS(status) ? std::move(r) : nullptr;
  }();
  std::string form;
  if (rules) rules->select(static_cast<int32_t>(count % 1000000)).toUTF8String(form);
  const char* word = form == "one" ? "файл" : form == "few" ? "файла" : "файлов";
  return std::to_string(count) + " " + word;
}

std::string SizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
  if (bytes < kMiB) return std::to_string((bytes + kKiB - 1) / kKiB) + " КБ";
  const bool giga = bytes >= kGiB;
  const std::uint64_t tenths = (bytes * 10 + (giga ? kGiB : kMiB) / 2) / (giga ? kGiB : kMiB);
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + (giga ? " ГБ" : " МБ");
}

std::string RunTimeText(std::time_t when) {
  std::tm tm {};
  localtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string RunTitle(const UndoRunInfo& run) {
  if (!run.command.empty()) return run.command;
  return std::string(run.header.origin == RunOrigin::Window ? "Tarvel" : "tarvel-cli") + " «" +
         Shortened(run.header.find) + "» → «" + Shortened(run.header.replace) + "»";
}

std::string UndoQuestion(const UndoRunInfo& run) {
  return "Вернуть файлы, изменённые заменой «" + Shortened(run.header.find) + "» → «" +
         Shortened(run.header.replace) + "» в " + Shortened(run.header.target) + " (" +
         FilesText(run.files) + ")?";
}

}  // namespace engine
