#include "engine/undo/journal_format.h"

#include <fcntl.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <set>
#include <utility>

#include "platform/error.h"
#include "platform/file.h"

namespace engine::journal {

using platform::File;

// Journal fields are separated by tabs and lines end in "\n"; the texts (paths, the texts of
// the run) may hold both, so they are escaped.
std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = line.find(separator, at);
    fields.push_back(line.substr(at, end - at));
    if (end == std::string::npos) return fields;
    at = end + 1;
  }
}

// Whole lines only: a last line without its "\n" was cut short and is left out (counted in
// `cut`).
std::vector<std::string> wholeLines(const std::string& text, std::size_t* cut) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (cut != nullptr) *cut = at < text.size() ? 1 : 0;
  return lines;
}

bool allDigits(const std::string& s, std::size_t size) {
  return !s.empty() && (size == 0 || s.size() == size) &&
         s.find_first_not_of("0123456789") == std::string::npos;
}

std::string readSmallFile(int folder, const char* name) {
  File file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.isOpen()) return {};
  std::string text;
  char block[1 << 14];
  for (;;) {
    const std::size_t got = file.readFull(block, sizeof block, platform::Step::ReadJournal);
    text.append(block, got);
    if (got < sizeof block) return text;
  }
}

bool existsIn(int folder, const char* name) {
  return faccessat(folder, name, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string timeText(std::time_t when, const char* format, bool utc) {
  std::tm tm {};
  if (utc) {
    gmtime_r(&when, &tm);
  } else {
    localtime_r(&when, &tm);
  }
  char text[64];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::uint64_t hashOf(int fd) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  std::vector<char> block(1 << 18);
  off_t at = 0;
  for (;;) {
    const ssize_t got = pread(fd, block.data(), block.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) platform::raiseSystemError(errno, platform::Step::ReadFile);
    if (got == 0) return XXH3_64bits_digest(&state);
    XXH3_64bits_update(&state, block.data(), static_cast<std::size_t>(got));
    at += got;
  }
}

std::string joinedPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::optional<Entry> parseEntry(const std::string& line) {
  std::vector<std::string> f = split(line);
  const bool pending = f.size() == 14 && f[0].size() == 1 && f[0][0] == kPendingMark;
  if (pending) f.erase(f.begin());
  if (f.size() != 13) return std::nullopt;
  for (std::size_t i = 1; i <= 9; ++i) {
    if (!allDigits(f[i])) return std::nullopt;
  }
  if (f[10].empty() || f[10].find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  try {
    Entry e;
    e.kept = f[0];
    e.keptDevice = static_cast<dev_t>(std::stoull(f[1]));
    e.keptInode = static_cast<ino_t>(std::stoull(f[2]));
    e.folderDevice = static_cast<dev_t>(std::stoull(f[3]));
    e.folderInode = static_cast<ino_t>(std::stoull(f[4]));
    e.device = static_cast<dev_t>(std::stoull(f[5]));
    e.inode = static_cast<ino_t>(std::stoull(f[6]));
    e.size = static_cast<off_t>(std::stoll(f[7]));
    e.changed.tv_sec = static_cast<time_t>(std::stoll(f[8]));
    e.changed.tv_nsec = std::stol(f[9]);
    e.hash = std::stoull(f[10], nullptr, 16);
    e.folder = unescape(f[11]);
    e.name = unescape(f[12]);
    const bool safeName = !e.name.empty() && e.name != "." && e.name != ".." &&
                          e.name.find('/') == std::string::npos;
    // A kept original's name is "k" and six letters or digits, as the store gives it: never a
    // path that could lead out of the run's folder.
    const bool keptName = e.kept.size() == 7 && e.kept[0] == 'k' &&
                          std::all_of(e.kept.begin() + 1, e.kept.end(),
                                      [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    if (!keptName || !safeName || !e.folder.starts_with('/')) {
      return std::nullopt;
    }
    e.settled = !pending;
    return e;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Journal readJournal(int run) {
  Journal j;
  std::size_t cut = 0;
  const std::vector<std::string> lines = wholeLines(readSmallFile(run, kJournalFile), &cut);
  j.unreadable = cut;
  std::map<std::size_t, std::size_t> at;  // an entry's line number: its place in j.entries
  std::set<std::size_t> cancelled;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> f = split(lines[i]);
    const bool settling = !f.empty() && f[0].size() == 1 &&
                          (f[0][0] == kDoneMark || f[0][0] == kCancelMark);
    if (settling) {
      const bool done = f[0][0] == kDoneMark;
      const bool sized = done ? f.size() == 4 || f.size() == 8 : f.size() == 2;
      const auto entry = sized && allDigits(f[1]) && f[1].size() < 12
                             ? at.find(std::stoull(f[1]))
                             : at.end();
      if (entry == at.end() || (done && !(allDigits(f[2]) && allDigits(f[3]) &&
                                          f[2].size() < 19 && f[3].size() < 10))) {
        ++j.unreadable;
        continue;
      }
      Entry& e = j.entries[entry->second];
      if (done) {
        e.changed.tv_sec = static_cast<time_t>(std::stoll(f[2]));
        e.changed.tv_nsec = std::stol(f[3]);
        e.settled = true;
      } else {
        cancelled.insert(entry->first);
      }
      continue;
    }
    if (auto e = parseEntry(lines[i])) {
      e->index = i;
      at[i] = j.entries.size();
      j.entries.push_back(std::move(*e));
    } else {
      ++j.unreadable;
    }
  }
  std::erase_if(j.entries, [&](const Entry& e) { return cancelled.contains(e.index); });
  return j;
}

std::map<std::size_t, char> readProgress(int run) {
  std::map<std::size_t, char> settled;
  for (const std::string& line : wholeLines(readSmallFile(run, kProgressFile))) {
    const std::vector<std::string> f = split(line);
    if (f.size() == 2 && allDigits(f[0]) && f[0].size() < 12 && f[1].size() == 1) {
      settled[std::stoull(f[0])] = f[1][0];
    }
  }
  return settled;
}

}  // namespace engine::journal
