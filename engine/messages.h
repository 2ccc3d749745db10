#pragma once

#include <string>

namespace engine {

/// The confirmation of the file command (UTF-8; `find` and `replace` as the user typed them,
/// line breaks as CR LF).
std::string FileWarning(const std::string& path, const std::string& find,
                        const std::string& replace);

/// The confirmation of the folder command; the extension filter is not mentioned.
std::string FolderWarning(const std::string& folder, const std::string& find,
                          const std::string& replace);

/// What both commands say when they have finished.
inline constexpr char kOperationDone[] = "Операция завершена.";

/// The extension filter as the folder command uses it: spaces around it removed, and "." put in
/// front of a text that does not begin with one ("txt" and " .txt " become ".txt").
std::string NormalizeExtension(const std::string& text);

}  // namespace engine
