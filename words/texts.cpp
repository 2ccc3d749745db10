#include "words/texts.h"

#include <unicode/locid.h>
#include <unicode/plurrule.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>


namespace words {
namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

namespace {

// What is replaced: the find text's characters, or the matches of a regular expression.
std::string whatIsReplaced(const std::string& find, bool regex) {
  return (regex ? " все совпадения с регулярным выражением " : " все сочетания символов ") +
         quoted(find);
}

}  // namespace

std::string FileWarning(const std::string& path, const std::string& find,
                        const std::string& replace, bool regex) {
  return "Внимание! В файле " + quoted(path) + whatIsReplaced(find, regex) +
         " будут заменены на " + quoted(replace) + ".\r\nПерезаписать файл ?";
}

std::string FolderWarning(const std::string& folder, const std::string& find,
                          const std::string& replace, bool regex) {
  return "Внимание! Во всех файлах, находящихся в папке " + quoted(folder) +
         " и её вложенных подпапках," + whatIsReplaced(find, regex) + " будут заменены на " +
         quoted(replace) + ".\r\nПерезаписать все файлы ?";
}

std::string ShownPath(std::string_view path) {
  // A name is shown as the terminal and the window would show it only where that cannot
  // mislead: every byte that is not part of a valid UTF-8 character (a raw 0x9B is a control
  // on terminals that read Latin-1), the C0 and C1 controls, and the direction controls (which
  // make "evil\u202etxt.exe" read as "evilexe.txt") are shown as escapes.
  std::string shown;
  shown.reserve(path.size());
  char escape[16];
  for (std::size_t i = 0; i < path.size();) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '\n' || c == '\r' || c == '\t') {
      shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      shown += escape;
      ++i;
      continue;
    }
    if (c < 0x80) {
      shown += static_cast<char>(c);
      ++i;
      continue;
    }
    UChar32 point = 0;
    std::int32_t next = static_cast<std::int32_t>(i);
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(path.size(), INT32_MAX));
    U8_NEXT(reinterpret_cast<const std::uint8_t*>(path.data()), next, length, point);
    if (point < 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      shown += escape;
      ++i;
      continue;
    }
    if (point <= 0x9F || u_hasBinaryProperty(point, UCHAR_BIDI_CONTROL)) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(point));
      shown += escape;
    } else {
      shown.append(path.substr(i, static_cast<std::size_t>(next) - i));
    }
    i = static_cast<std::size_t>(next);
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

std::string FilesText(std::size_t count) { return CountText(count, "файл", "файла", "файлов"); }

std::string CountText(std::size_t count, const char* one, const char* few, const char* many) {
  // ICU's plural rules for Russian: one (1, 21, 101 …), few (2–4, 22–24 …), many (the rest).
  static const std::unique_ptr<icu::PluralRules> rules = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::PluralRules> r(icu::PluralRules::forLocale(icu::Locale("ru"), status));
    return U_SUCCESS(status) ? std::move(r) : nullptr;
  }();
  std::string form;
  if (rules) rules->select(static_cast<int32_t>(count % 1000000)).toUTF8String(form);
  const char* word = form == "one" ? one : form == "few" ? few : many;
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

}  // namespace words
