#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

// How the undo store lays out a run on disk: its files, the journal's lines and how they are
// read back. Used by the store's own units alone.
namespace engine::journal {

inline constexpr char kInfoFile[] = "info";
inline constexpr char kJournalFile[] = "journal";
inline constexpr char kProgressFile[] = "undo";     // what the run's undo has settled, file by file
inline constexpr char kUndoneFile[] = "undone";
inline constexpr char kSequenceFile[] = "sequence";  // the last run number given, and the store's lock
inline constexpr char kTrash[] = ".trash";
inline constexpr char kBegunPrefix[] = ".begun-";    // a run being set up, not yet in the store
// The journal's lines: a file's entry is written before its rename ("w", what will be written
// and where), then settled after it by a line that names the entry's line number: "d" with the
// change time the new file has ("done"), or "x" when someone else replaced it at once
// ("cancelled"). An entry left without either was cut off by a kill: its file tells which.
// Runs of the version before write-ahead have entries without a mark, each one done.
inline constexpr char kPendingMark = 'w';
inline constexpr char kDoneMark = 'd';
inline constexpr char kCancelMark = 'x';
// How a run's undo settles a file in its progress file.
inline constexpr char kRestoredMark = 'R';
inline constexpr char kNotReplacedMark = 'N';

/// A text with its tabs, line breaks and backslashes escaped, to be one journal field.
std::string escape(const std::string& text);
std::string unescape(const std::string& text);
std::vector<std::string> split(const std::string& line, char separator = '\t');
/// Whole lines only: a last line without its "\n" was cut short and is left out (counted in
/// `cut`).
std::vector<std::string> wholeLines(const std::string& text, std::size_t* cut = nullptr);
/// Digits only, and exactly `size` of them unless 0.
bool allDigits(const std::string& s, std::size_t size = 0);
/// A small file of the run's folder, whole; empty when it cannot be opened.
std::string readSmallFile(int folder, const char* name);
bool existsIn(int folder, const char* name);
std::string timeText(std::time_t when, const char* format, bool utc);
/// XXH3 of the whole file open as `fd`.
std::uint64_t hashOf(int fd);
std::string joinedPath(const std::string& folder, const std::string& name);

// One journal line: the kept original, where the file is, and what the run wrote.
struct Entry {
  std::size_t index = 0;  // the line's number in the journal
  std::string kept;
  dev_t keptDevice = 0;
  ino_t keptInode = 0;
  dev_t folderDevice = 0;
  ino_t folderInode = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec changed {};
  std::uint64_t hash = 0;
  std::string folder;  // from the root, without links
  std::string name;
  bool settled = true;  // its rename is known to have happened (and its change time with it)
};

std::optional<Entry> parseEntry(const std::string& line);

struct Journal {
  std::vector<Entry> entries;
  std::size_t unreadable = 0;
};

/// The journal of the run open as `run`: its entries not cancelled, each settled or not.
Journal readJournal(int run);

/// What the run's undo has settled so far: the journal line's number and how.
std::map<std::size_t, char> readProgress(int run);

}  // namespace engine::journal
