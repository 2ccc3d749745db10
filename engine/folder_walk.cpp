#include "engine/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "platform/attributes.h"
#include "platform/error.h"

namespace engine {
namespace {

// One folder on the walk's stack: its path and the subfolders still to walk.
struct Level {
  std::string path;
  std::vector<std::string> subfolders;
  std::size_t next = 0;
};

// Every name in the folder but "." and "..", in byte order, so that a run reports in the
// same order every time. A folder that cannot be listed has no entries.
std::vector<std::string> listFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Converts the folder's own files and returns its level with the subfolders to walk.
Level convertFiles(const std::string& path, const Conversion& c, const FileAction& action) {
  Level level{path, {}, 0};
  for (const std::string& name : listFolder(path)) {
    const std::string full = path + "/" + name;
    // Only the type is needed here; the hidden and system marks (an extended attribute each)
    // are read where the file is replaced.
    struct statx sx {};
    if (statx(AT_FDCWD, full.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) != 0) {
      continue;  // gone or unreadable: nothing to report for it
    }
    if (S_ISDIR(sx.stx_mode)) {
      level.subfolders.push_back(name);
    } else if (c.options.extension.empty() || c.options.extension == FileExtension(name)) {
      try {
        action(full);
      } catch (const platform::Error& e) {
        c.messages.AddLine(FailureLine(e.number(), e.description(), path, name), full);
      } catch (const std::bad_alloc&) {
        c.messages.AddLine(FailureLine(platform::kIoError, "Не хватает памяти", path, name), full);
      }
    }
    if (c.pump) c.pump();
  }
  return level;
}

std::string trimSpaces(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string FileExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

std::string FailureLine(int number, const std::string& description, const std::string& folder,
                        const std::string& name) {
  return "!_ Ошибка " + std::to_string(number) + " " + description + " - " + folder + "/" + name;
}

void ConvertFolderTree(const std::string& path, const Conversion& c) {
  WalkFolderTree(path, c, [&c](const std::string& file) { ConvertFile(file, c); });
}

void WalkFolderTree(const std::string& folderPath, const Conversion& c, const FileAction& action) {
  std::string path = trimSpaces(folderPath);
  if (path.empty()) return;
  if (path.back() == '/') path.pop_back();
  if (path.find('/') == std::string::npos) return;
  try {
    if (!platform::readAttributes(path).folder) return;
  } catch (const platform::Error&) {
    return;
  }
  // An explicit stack instead of recursion: the depth of a tree cannot exhaust the call stack.
  // Subfolders are entered in listing order, each walked to the end before the next.
  std::vector<Level> stack;
  stack.push_back(convertFiles(path, c, action));
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next == top.subfolders.size()) {
      stack.pop_back();
      continue;
    }
    const std::string child = top.path + "/" + top.subfolders[top.next++];
    try {
      if (!platform::readAttributes(child).folder) continue;  // replaced meanwhile
    } catch (const platform::Error&) {
      continue;
    }
    stack.push_back(convertFiles(child, c, action));
  }
}

}  // namespace engine
