#include "engine/file/file_ref.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

}  // namespace engine
