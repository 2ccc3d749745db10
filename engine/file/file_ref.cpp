#include "engine/file/file_ref.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "platform/error.h"

namespace engine {

void ReadFolderFacts(int folder, FolderFacts& facts) {
  if (facts.known) return;
  struct statx sx {};
  if (statx(folder, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO | STATX_MNT_ID, &sx) == 0) {
    facts.mountId = (sx.stx_mask & STATX_MNT_ID) != 0 ? sx.stx_mnt_id : 0;
    facts.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    facts.inode = sx.stx_ino;
    facts.attributes = sx.stx_attributes & sx.stx_attributes_mask;
  }
  facts.known = true;
}

bool SameMount(const FolderFacts& a, const FolderFacts& b) {
  if (a.mountId != 0 && b.mountId != 0) return a.mountId == b.mountId;
  return a.device == b.device;  // a kernel older than 5.8
}

std::shared_ptr<const OpenFolder> FolderReach::reach(const std::string& path, dev_t device,
                                                     ino_t inode) {
  if (m_path == path && m_device == device && m_inode == inode) return m_reached;
  m_path = path;
  m_device = device;
  m_inode = inode;
  m_reached.reset();
  const platform::Step what = platform::Step::OpenFolder;
  platform::File at = platform::File::open("/", O_PATH | O_DIRECTORY, 0, what);
  for (std::size_t from = 0; from < path.size();) {
    std::size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(from, end - from);
    from = end + 1;
    if (name.empty()) continue;
    platform::File next(
        openat(at.fd(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.isOpen()) {
      if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return nullptr;
      m_path.clear();
      platform::raiseSystemError(errno, what);
    }
    at = std::move(next);
  }
  auto reached = std::make_shared<OpenFolder>();
  reached->folder = platform::File(openat(at.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!reached->folder.isOpen()) reached->folder = std::move(at);
  const struct stat st = reached->folder.status(what);
  if (st.st_dev != device || st.st_ino != inode) return nullptr;
  ReadFolderFacts(reached->folder.fd(), reached->facts);
  reached->canonical = path;
  m_reached = std::move(reached);
  return m_reached;
}

}  // namespace engine
