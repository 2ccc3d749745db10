#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace words {

/// The confirmation of the file command (UTF-8; `find` and `replace` as the user typed them,
/// line breaks as CR LF).
/// With `regex` the find text is named as a regular expression and its matches as what is
/// replaced.
std::string FileWarning(const std::string& path, const std::string& find,
                        const std::string& replace, bool regex = false);

/// The confirmation of the folder command; the extension filter is not mentioned.
std::string FolderWarning(const std::string& folder, const std::string& find,
                          const std::string& replace, bool regex = false);

/// `path` as report lines show it: control characters (C0, DEL, and C1 where the path is UTF-8)
/// written as \n, \r, \t, \x1b or \u0085, so that a name can neither begin a new line nor
/// send a terminal sequence. Every other byte stays as it is.
std::string ShownPath(std::string_view path);

/// What both commands say when they have finished.
inline constexpr char kOperationDone[] = "Операция завершена.";

/// `text` cut to its first `limit` characters (not bytes) with "…" after it, or whole.
std::string Shortened(std::string_view text, std::size_t limit = 40);

/// "1 файл", "2 файла", "5 файлов", "21 файл": a count of files with the Russian plural form.
std::string FilesText(std::size_t count);
/// The same for any word: its forms for one, few and many ("1 пара", "2 пары", "5 пар").
std::string CountText(std::size_t count, const char* one, const char* few, const char* many);

/// A size on disk as people read it: "12 КБ", "1,5 МБ", "2,3 ГБ".
std::string SizeText(std::uint64_t bytes);

/// The local time of `when`, "2026-12-07 13:15:00".
std::string RunTimeText(std::time_t when);

}  // namespace words
