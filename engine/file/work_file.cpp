#include "engine/file/work_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "engine/file/replacement.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/temp_folder.h"

namespace engine {

using platform::Error;
using platform::File;

namespace {

constexpr char kPrivatePrefix[] = "tarvel-";

std::string privateFolderName() { return kPrivatePrefix + std::to_string(geteuid()); }

// The folder of the work file, open. The user's private folder is made when missing and checked
// (OpenPrivateFolder); any other is the temporary folder itself, which is this user's alone.
File openWorkFolder(const std::string& path) {
  if (platform::baseName(path) == privateFolderName()) return OpenPrivateFolder(path);
  const platform::Step what = platform::Step::OpenWorkFolder;
  return File::open(path, O_RDONLY | O_DIRECTORY, 0, what);
}


// The work area for `path`, opened again when `again` (the folder was removed meanwhile). A run
// that holds its work folder open gives it as `open`: it is reached through that descriptor
// alone, never by its path again.
WorkArea& workAreaFor(const std::string& path, int open, bool again = false) {
  static thread_local WorkArea area;
  if (area.folder.isOpen() && area.path == path && !again) return area;
  WorkArea fresh;
  if (open >= 0) {
    if (again) {
      throw Error(platform::kNotFound, platform::Step::OpenWorkFile, platform::Why::WorkFolderRemoved);
    }
    fresh.folder = File(fcntl(open, F_DUPFD_CLOEXEC, 0));
    if (!fresh.folder.isOpen()) platform::raiseSystemError(errno, platform::Step::OpenWorkFolder);
  } else {
    fresh.folder = openWorkFolder(path);
  }
  fresh.path = path;
  struct statx sx {};
  if (statx(fresh.folder.fd(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0) {
    platform::raiseSystemError(errno, platform::Step::OpenWorkFolder);
  }
  ReadFolderFacts(fresh.folder.fd(), fresh.facts);
  fresh.owner = geteuid();
  fresh.newGroup = (sx.stx_mode & S_ISGID) != 0 ? sx.stx_gid : getegid();
  fresh.defaultAcl = fgetxattr(fresh.folder.fd(), "system.posix_acl_default", nullptr, 0) >= 0;
  area = std::move(fresh);
  return area;
}


}  // namespace

// The work file sits under a name anyone can guess: it is never opened through a link and must
// be a regular file of this user with no other name. Another Tarvel (a second window, the
// command-line companion) may have chosen the same name: such a work file is locked for the
// whole of a conversion, and a conversion waits for the other one to finish.
WorkFile openWorkFile(const std::string& workFile, int workFolder, const struct stat& source,
                      const EventPump& pump, bool shared, LockBudget* budget) {
  const platform::Step what = platform::Step::OpenWorkFile;
  WorkFile work{&workAreaFor(platform::folderName(workFile), workFolder),
                platform::baseName(workFile), {}};
  // Most often the name is free, as the last conversion's rename left it: a file made new
  // here is this user's, empty, and no other file.
  int fd = ::openat(work.area->folder.fd(), work.name.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ENOENT) {
    // The folder was removed meanwhile (by another Tarvel that ended, say): made again.
    const std::string path = work.area->path;
    work.area = &workAreaFor(path, workFolder, true);
    fd = ::openat(work.area->folder.fd(), work.name.c_str(),
                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  }
  if (fd >= 0) {
    work.file = File(fd);
    if (!shared || flock(fd, LOCK_EX | LOCK_NB) == 0) return work;
    work.file = File();  // another Tarvel took it at once: wait for it below
  } else if (errno != EEXIST) {
    platform::raiseSystemError(errno, what);
  }
  const int folder = work.area->folder.fd();
  LockWait wait(pump, budget);
  for (;;) {
    File file = File::openAt(folder, work.name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600,
                             what);
    struct stat st = file.status(what);
    if (!S_ISREG(st.st_mode)) {
      throw Error(platform::kAccessRefused, what, platform::Why::NotRegularWorkFile);
    }
    if (!wait.take(file.fd(), what, platform::Why::LockedByOtherCopy)) continue;
    // The other conversion may have moved the file away while this one waited for it.
    struct stat named {};
    if (fstatat(folder, work.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_ino != st.st_ino || named.st_dev != st.st_dev) {
      continue;
    }
    st = file.status(what);
    if (st.st_uid != geteuid() || st.st_nlink != 1) {
      throw Error(platform::kAccessRefused, what,
                  platform::Why::WorkFileNotOurs);
    }
    if (st.st_ino == source.st_ino && st.st_dev == source.st_dev) {
      // A walk through the temporary folder can meet the work file of an earlier failure.
      throw Error(platform::kAccessRefused, platform::Step::OpenFile, platform::Why::OwnWorkFile);
    }
    if (st.st_size != 0) file.truncate(0, what);
    work.file = std::move(file);
    return work;
  }
}


File OpenPrivateFolder(const std::string& path) {
  const platform::Step what = platform::Step::OpenWorkFolder;
  // Another run that ends removes the folder once it is empty: it may go between the two
  // steps, and is made again then.
  for (int attempt = 0;; ++attempt) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) platform::raiseSystemError(errno, what);
    File folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.isOpen()) {
      if (errno == ENOENT && attempt < 100) continue;
      throw platform::systemError(errno, what).about(path);
    }
    const struct stat st = folder.status(what);
    if (st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
      throw Error(platform::kAccessRefused, what, platform::Why::PrivateFolderUnsafe).about(path);
    }
    return folder;
  }
}

std::string OwnPrivateFolder() {
  const std::string temp = platform::temporaryFolder();
  return (temp == "/" ? "" : temp) + "/" + privateFolderName();
}


std::string ChooseWorkFile(const EventPump& pump) {
  std::string folder = platform::temporaryFolder();
  // A temporary folder that others can write to (/tmp) gets a folder of the user's own, so that
  // nobody can take the work file's name away from its user.
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || (st.st_mode & 022) != 0 || st.st_uid != geteuid()) {
    folder = (folder == "/" ? "" : folder) + "/" + privateFolderName();
  }
  const std::string base = (folder == "/" ? "" : folder) + "/k5ywhqx";
  auto taken = [](const std::string& name) {
    try {
      using namespace platform;
      return pathExists(name, kClassNormal | kClassHidden | kClassSystem);
    } catch (const Error&) {
      return false;  // the conversion will say what is wrong with the name
    }
  };
  std::string candidate = base;
  for (int i = 0; taken(candidate) && i < INT_MAX; ++i) {
    candidate = base + std::to_string(i);
    if (pump) pump();
  }
  return candidate;
}

namespace {

void removeWorkFile(const std::string& workFile) {
  struct stat st {};
  if (lstat(workFile.c_str(), &st) != 0) return;
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) return;
  try {
    if (!platform::pathExists(workFile, platform::kClassNormal)) return;
    // A work file locked by another Tarvel is in use and stays.
    File file = File::open(workFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, platform::Step::OpenFile);
    const struct stat opened = file.status(platform::Step::OpenFile);
    if (flock(file.fd(), LOCK_EX | LOCK_NB) != 0) return;
    struct stat named {};
    if (lstat(workFile.c_str(), &named) != 0 || named.st_ino != opened.st_ino) return;
    unlink(workFile.c_str());
  } catch (const platform::Error&) {
  }
}

}  // namespace

void DeleteWorkFile(const std::string& workFile, bool folderToo) {
  removeWorkFile(workFile);
  if (!folderToo) return;
  // The user's own folder in a shared temporary folder goes too once it is empty.
  const std::string folder = platform::folderName(workFile);
  if (platform::baseName(folder) == privateFolderName()) rmdir(folder.c_str());
}

}  // namespace engine
