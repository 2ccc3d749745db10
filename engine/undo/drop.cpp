#include "engine/undo/drop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/undo/journal_format.h"
#include "engine/undo/store.h"
#include "platform/file.h"

namespace engine {
namespace {

using namespace journal;
using platform::Error;
using platform::File;

// A folder entry as getdents64 gives it.
struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];  // as long as the record
};

// Removes everything inside the folder open as `folder`, down to `depth` levels of subfolders,
// with plain system calls and the stack only: it also runs in a forked child of a process that
// has threads, where nothing else is safe.
void removeContents(int folder, int depth) {
  alignas(8) char buffer[8192];
  for (int pass = 0; pass < 64; ++pass) {
    if (lseek(folder, 0, SEEK_SET) < 0) return;
    bool any = false;
    for (;;) {
      const long n = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        any = true;
        if (unlinkat(folder, name, 0) == 0 || errno != EISDIR || depth == 0) continue;
        const int sub = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
          removeContents(sub, depth - 1);
          close(sub);
        }
        unlinkat(folder, name, AT_REMOVEDIR);
      }
    }
    if (!any) return;  // entries removed while the folder was read may have hidden others
  }
}

bool trashHoldsAnything(int store) {
  const File trash(openat(store, kTrash, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!trash.isOpen()) return false;
  try {
    return !platform::listFolder(trash.fd(), platform::Step::ReadUndoStore).empty();
  } catch (const Error&) {
    return false;
  }
}

// Empties the trash in a process of its own, not waited for, so that the run that dropped a
// large run need not wait for its thousands of kept originals to go. The process looks up
// nothing on PATH and keeps no descriptor but the store's: no lock of this program's is held
// by it. It works at idle priority, disk and processor alike, and leaves the terminal's group
// so that Ctrl+C for the program does not stop it half way (the next run would go on anyway).
void emptyTrashInBackground(int store) {
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    if (fork() == 0) {
      setsid();
      int keep = store;
      if (keep < 3) keep = fcntl(store, F_DUPFD, 3);
      if (keep >= 0) {
        close_range(0, static_cast<unsigned>(keep) - 1, 0);
        close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
        setpriority(PRIO_PROCESS, 0, 10);
        constexpr int kWhoProcess = 1, kClassIdle = 3, kClassShift = 13;
        syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift);
        EmptyTrash(keep);
      }
      _exit(0);
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void EmptyTrash(int store) {
  const int trash = openat(store, kTrash, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (trash < 0) return;
  if (flock(trash, LOCK_EX | LOCK_NB) == 0) removeContents(trash, 2);
  close(trash);
}

void MoveToTrash(int store, const std::string& name) {
  if (mkdirat(store, kTrash, 0700) != 0 && errno != EEXIST) {
    platform::raiseSystemError(errno, platform::Step::DropRun);
  }
  std::string to = std::string(kTrash) + "/" + name;
  for (int n = 1; renameat2(store, name.c_str(), store, to.c_str(), RENAME_NOREPLACE) != 0; ++n) {
    // Taken already (the same name dropped before and not yet deleted): under another.
    if (errno != EEXIST || n > 1000) platform::raiseSystemError(errno, platform::Step::DropRun);
    to = std::string(kTrash) + "/" + name + "~" + std::to_string(n);
  }
}

// The copy of a kept original: the whole file, then the status a rewritten file keeps (owner,

void EmptyTrashLater(int store) {
  if (trashHoldsAnything(store)) emptyTrashInBackground(store);
}

std::vector<std::pair<std::string, Error>> ForgetRuns(const std::string& storePath,
                                                      const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, Error>> refused;
  const UndoStore store = UndoStore::open(storePath, false);
  if (store.fd() < 0) return refused;
  for (const std::string& id : ids) {
    try {
      const RunName name = FindRun(store.fd(), id);
      const File run = OpenRun(store.fd(), name.name);
      const auto journal = LockedJournal(run.fd(), LOCK_EX);
      if (!journal) {
        throw Error(platform::kAccessRefused, platform::Step::None, platform::Why::RunGoing).about(name.name);
      }
      MoveToTrash(store.fd(), name.name);
    } catch (const Error& e) {
      refused.emplace_back(id, e);
    }
  }
  EmptyTrash(store.fd());
  return refused;
}

}  // namespace engine
