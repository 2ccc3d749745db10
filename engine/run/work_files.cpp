#include "engine/run/work_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/file/convert_file.h"
#include "platform/error.h"
#include "platform/temp_folder.h"

namespace engine {
namespace {

using platform::Error;

constexpr char kRunFolderPrefix[] = "tarvel-cli-";

// The folders of this user's tarvel-cli runs in the open folder `parent` that were killed: no
// run holds their lock any more.
void clearKilledRuns(int parent, const std::string& ours) {
  try {
    for (const platform::FolderEntry& e : platform::listFolder(parent, platform::Step::ReadFolder)) {
      if (e.name.size() != ours.size() || !e.name.starts_with(kRunFolderPrefix) || e.name == ours) {
        continue;
      }
      const platform::File folder(
          openat(parent, e.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st {};
      if (!folder.isOpen() || fstat(folder.fd(), &st) != 0 || st.st_uid != geteuid() ||
          (st.st_mode & 07777) != 0700 || flock(folder.fd(), LOCK_EX | LOCK_NB) != 0) {
        continue;
      }
      for (const platform::FolderEntry& f : platform::listFolder(folder.fd(), platform::Step::ReadFolder)) {
        if (f.name.starts_with("k5ywhqx")) unlinkat(folder.fd(), f.name.c_str(), 0);
      }
      unlinkat(parent, e.name.c_str(), AT_REMOVEDIR);
    }
  } catch (const Error&) {
    // Clearing is a courtesy; the run goes on without it.
  }
}

}  // namespace

WorkFiles WorkFiles::Private(unsigned count) {
  WorkFiles files;
  const platform::Step what = platform::Step::CreateWorkFolder;
  const std::string privatePath = OwnPrivateFolder();
  // Made inside the user's private folder, which nobody else may enter, and reached through
  // its descriptor from then on: whoever else may write to the temporary folder can rename
  // names there, never the run's folder or its work files.
  for (int attempt = 0; !files.m_lock.isOpen(); ++attempt) {
    platform::File parent = OpenPrivateFolder(privatePath);
    std::string name = std::string(kRunFolderPrefix) + "XXXXXX";
    platform::File folder;
    try {
      folder = platform::createUniqueFolderAt(parent.fd(), name, what);
    } catch (const Error& e) {
      // Another run that ended removed the private folder, empty, in the moment before.
      if (e.number() == platform::kNotFound && attempt < 100) continue;
      throw;
    }
    // Locked before anything goes into it. Another run may take it for a killed run's and
    // remove it in the moment before: then it is made anew.
    struct stat opened {}, named {};
    if (flock(folder.fd(), LOCK_EX) != 0 || fstat(folder.fd(), &opened) != 0 ||
        fstatat(parent.fd(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
      if (attempt < 100) continue;
      platform::raiseSystemError(EAGAIN, what);
    }
    files.m_folder = privatePath + "/" + name;
    files.m_name = name;
    files.m_lock = std::move(folder);
    files.m_private = std::move(parent);
  }
  for (unsigned i = 0; i < std::max(1u, count); ++i) {
    files.m_paths.push_back(files.m_folder + "/k5ywhqx" + (i == 0 ? "" : std::to_string(i - 1)));
  }
  clearKilledRuns(files.m_private.fd(), files.m_name);
  // Runs of the version that made their folders in the temporary folder itself.
  const platform::File temp(::open(platform::temporaryFolder().c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (temp.isOpen()) clearKilledRuns(temp.fd(), files.m_name);
  return files;
}

WorkFiles WorkFiles::Shared(const std::string& first, unsigned count) {
  WorkFiles files;
  files.m_shared = true;
  files.m_paths.push_back(first);
  // The names after it by the window's rule: the base, then the base and 0, 1, 2 …
  std::string base = first;
  while (!base.empty() && base.back() >= '0' && base.back() <= '9' && !base.ends_with("k5ywhqx")) {
    base.pop_back();
  }
  for (long i = -1; files.m_paths.size() < std::max(1u, count) && i < 100000; ++i) {
    const std::string candidate = i < 0 ? base : base + std::to_string(i);
    if (std::find(files.m_paths.begin(), files.m_paths.end(), candidate) != files.m_paths.end()) {
      continue;
    }
    struct stat st {};
    if (lstat(candidate.c_str(), &st) == 0) continue;  // taken
    files.m_paths.push_back(candidate);
  }
  return files;
}

WorkFiles WorkFiles::ForFolderRun(const std::string& first, unsigned count) {
  try {
    return Private(count);
  } catch (const Error&) {
    return Shared(first, count);
  }
}

WorkFiles::~WorkFiles() {
  if (m_lock.isOpen()) {
    // A run's own folder: only its descriptors are used, then the private folder goes when
    // it is empty.
    for (const std::string& path : m_paths) {
      unlinkat(m_lock.fd(), platform::baseName(path).c_str(), 0);
    }
    unlinkat(m_private.fd(), m_name.c_str(), AT_REMOVEDIR);
    rmdir(platform::folderName(m_folder).c_str());
    return;
  }
  // The user's private folder is the window's to remove, when it closes.
  for (std::size_t i = m_keepFirst ? 1 : 0; i < m_paths.size(); ++i) {
    DeleteWorkFile(m_paths[i], !m_keepFirst);
  }
}

const std::string& WorkFiles::path(std::size_t worker) const {
  return m_paths[std::min(worker, m_paths.size() - 1)];
}

}  // namespace engine
