#pragma once

#include <string>
#include <string_view>

namespace engine {

/// The confirmation of the file command (UTF-8; `find` and `replace` as the user typed them,
/// line breaks as CR LF).
std::string FileWarning(const std::string& path, const std::string& find,
                        const std::string& replace);

/// The confirmation of the folder command; the extension filter is not mentioned.
std::string FolderWarning(const std::string& folder, const std::string& find,
                          const std::string& replace);

/// `path` as report lines show it: control characters (C0, DEL, and C1 where the path is UTF-8)
/// written as \n, \r, \t, \x1b or \u0085, so that a name can neither begin a new line nor
/// send a terminal sequence. Every other byte stays as it is.
std::string ShownPath(std::string_view path);

/// What both commands say when they have finished.
inline constexpr char kOperationDone[] = "Операция завершена.";

/// The extension filter as the folder command uses it: spaces around it removed, and "." put in
/// front of a text that does not begin with one ("txt" and " .txt " become ".txt").
std::string NormalizeExtension(const std::string& text);

}  // namespace engine
