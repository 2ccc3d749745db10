#include "engine/undo/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

#include "engine/undo/journal_format.h"

namespace engine {
namespace {

using namespace journal;
using platform::Error;
using platform::File;

Error storeRefused(platform::Why why, const std::string& path) {
  return Error(platform::kAccessRefused, platform::Step::CheckUndoStore, why).about(path);
}

std::optional<RunName> parseRunName(const std::string& name) {
  const std::vector<std::string> parts = split(name, '-');
  if (parts.size() == 3 && allDigits(parts[0]) && parts[0].size() <= 19 &&
      allDigits(parts[1], 8) && allDigits(parts[2], 6)) {
    return RunName{name, std::stoull(parts[0])};
  }
  if ((parts.size() == 2 || (parts.size() == 3 && allDigits(parts[2], 2))) &&
      allDigits(parts[0], 8) && allDigits(parts[1], 6)) {
    return RunName{name, 0};
  }
  return std::nullopt;
}

UndoRunInfo infoOf(int store, const RunName& name) {
  UndoRunInfo info;
  info.id = name.name;
  info.number = name.number;
  const File run(openat(store, name.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.isOpen()) return info;
  std::string header = readSmallFile(run.fd(), kInfoFile);
  if (!header.empty() && header.back() == '\n') header.pop_back();
  const std::vector<std::string> f = split(header);
  if (f.size() == 6 && f[0] == "2" && allDigits(f[1])) {
    info.started = static_cast<std::time_t>(std::stoll(f[1]));
    info.header.origin = f[2] == "window" ? RunOrigin::Window : RunOrigin::CommandLine;
    info.header.find = unescape(f[3]);
    info.header.replace = unescape(f[4]);
    info.header.target = unescape(f[5]);
  } else if (f.size() >= 3) {
    // The older version's header: its local time, its command and its target.
    std::tm tm {};
    if (strptime(f[0].c_str(), "%Y-%m-%d %H:%M:%S", &tm) != nullptr) {
      tm.tm_isdst = -1;
      info.started = mktime(&tm);
    }
    info.command = unescape(f[1]);
    info.header.origin = info.command.starts_with("Tarvel") ? RunOrigin::Window : RunOrigin::CommandLine;
    info.header.target = unescape(f[2]);
  }
  const Journal journal = readJournal(run.fd());
  info.files = journal.entries.size();
  info.unreadable = journal.unreadable;
  for (const auto& [index, mark] : readProgress(run.fd())) {
    info.left += mark != kRestoredMark && mark != kNotReplacedMark;
  }
  if (!LockedJournal(run.fd(), LOCK_SH)) {
    info.state = UndoRunInfo::State::Running;
  } else if (existsIn(run.fd(), kUndoneFile)) {
    info.state = UndoRunInfo::State::Undone;
  } else if (existsIn(run.fd(), kProgressFile)) {
    info.state = UndoRunInfo::State::PartlyUndone;
  }
  try {
    for (const platform::FolderEntry& e : platform::listFolder(run.fd(), platform::Step::ReadUndoStore)) {
      struct stat st {};
      if (fstatat(run.fd(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        info.bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
      }
    }
  } catch (const Error&) {
  }
  return info;
}

// The names of `path` from the root, its links resolved first: a link in a folder that only
// root or the user can change is theirs. The names are then walked one by one, following no
// link, each folder checked before the next name is looked up in it.
std::vector<std::string> resolvedNames(const std::string& path) {
  std::string existing = path;
  std::string missing;
  std::unique_ptr<char, void (*)(void*)> real(nullptr, std::free);
  for (;;) {
    real.reset(realpath(existing.c_str(), nullptr));
    if (real) break;
    if (errno != ENOENT || existing == "/") {
      platform::raiseSystemError(errno, platform::Step::OpenUndoStore);
    }
    const std::size_t slash = existing.rfind('/');
    missing = existing.substr(slash + 1) + (missing.empty() ? "" : "/" + missing);
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
  std::vector<std::string> names;
  for (const std::string& part : split(std::string(real.get()) + "/" + missing, '/')) {
    if (!part.empty()) names.push_back(part);
  }
  return names;
}

// A folder on the way to the store (or, when `store`, the store itself), as ssh checks ~/.ssh.
void checkFolder(const struct stat& st, const std::string& shown, bool store) {
  const uid_t me = geteuid();
  if (!S_ISDIR(st.st_mode)) throw storeRefused(platform::Why::StoreNotFolder, shown);
  if (st.st_uid != 0 && st.st_uid != me) {
    throw storeRefused(platform::Why::StoreOtherOwner, shown);
  }
  if (store && (st.st_uid != me || (st.st_mode & 077) != 0)) {
    throw storeRefused(platform::Why::StoreOpenToOthers, shown);
  }
  if (!store && (st.st_mode & 022) != 0 && !((st.st_mode & S_ISVTX) != 0 && st.st_uid == 0)) {
    throw storeRefused(platform::Why::StoreWritableByOthers, shown);
  }
}

}  // namespace

// ---- The store

std::string UndoStoreFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::string(state) + "/tarvel/undo";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/tarvel/undo";
  }
  return {};
}

UndoStore UndoStore::open(const std::string& path, bool create) {
  const platform::Step what = platform::Step::OpenUndoStore;
  if (path.empty() || path[0] != '/') {
    throw Error(platform::kNotFound, platform::Step::None, platform::Why::NoHome);
  }
  const std::vector<std::string> names = resolvedNames(path);
  File at = File::open("/", O_PATH | O_DIRECTORY, 0, what);
  std::string shown = "/";
  for (std::size_t i = 0;; ++i) {
    const bool store = i == names.size();
    checkFolder(at.status(what), shown, store);
    if (store) break;
    const std::string& name = names[i];
    const int last = i + 1 == names.size() ? O_RDONLY : O_PATH;
    File next(openat(at.fd(), name.c_str(), last | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.isOpen() && errno == ENOENT && create) {
      if (mkdirat(at.fd(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        platform::raiseSystemError(errno, platform::Step::CreateUndoStore);
      }
      next = File(openat(at.fd(), name.c_str(), last | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!next.isOpen()) {
      if (errno == ENOENT && !create) {
        UndoStore none;
        none.m_path = path;
        return none;
      }
      if (errno == ELOOP || errno == ENOTDIR) {
        throw storeRefused(platform::Why::StoreNotFolder, (shown == "/" ? "/" : shown + "/") + name);
      }
      platform::raiseSystemError(errno, what);
    }
    shown = (shown == "/" ? "/" : shown + "/") + name;
    at = std::move(next);
  }
  UndoStore opened;
  opened.m_path = path;
  opened.m_folder = std::move(at);
  return opened;
}

std::vector<RunName> RunsIn(int store) {
  std::vector<RunName> runs;
  for (const platform::FolderEntry& e :
       platform::listFolder(store, platform::Step::ReadUndoStore)) {
    if (auto run = parseRunName(e.name)) runs.push_back(*run);
  }
  std::sort(runs.begin(), runs.end());
  return runs;
}

RunName FindRun(int store, const std::string& id) {
  for (const RunName& run : RunsIn(store)) {
    if (run.name == id || (run.number != 0 && allDigits(id) && id.size() <= 19 &&
                           std::stoull(id) == run.number)) {
      return run;
    }
  }
  throw Error(platform::kNotFound, platform::Step::None, platform::Why::NoSuchRun).about(id);
}

std::optional<File> LockedJournal(int run, int lock) {
  File journal(openat(run, kJournalFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!journal.isOpen()) return File();
  if (lock != 0 && flock(journal.fd(), lock | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    platform::raiseSystemError(errno, platform::Step::OpenRunJournal);
  }
  return journal;
}

File OpenRun(int store, const std::string& name) {
  File run(openat(store, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.isOpen()) throw platform::systemError(errno, platform::Step::OpenRun).about(name);
  return run;
}

std::uint64_t LastRunNumber(const std::string& store) {
  const UndoStore opened = UndoStore::open(store, false);
  if (opened.fd() < 0) return 0;
  const std::string digits = readSmallFile(opened.fd(), kSequenceFile);
  return allDigits(digits.substr(0, digits.find('\n'))) && !digits.empty() && digits.size() < 20
             ? std::stoull(digits)
             : 0;
}

std::vector<UndoRunInfo> ListUndoRuns(const std::string& store) {
  const UndoStore opened = UndoStore::open(store, false);
  std::vector<UndoRunInfo> runs;
  if (opened.fd() < 0) return runs;
  for (const RunName& name : RunsIn(opened.fd())) runs.push_back(infoOf(opened.fd(), name));
  return runs;
}

}  // namespace engine
