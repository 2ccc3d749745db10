#include "platform/file_system.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statfs.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

struct Kind {
  unsigned long magic;
  const char* name;
};

// Not in every <linux/magic.h>.
constexpr unsigned long kMqueueMagic = 0x19800202;
constexpr unsigned long kConfigfsMagic = 0x62656570;
constexpr unsigned long kFusectlMagic = 0x65735543;

constexpr Kind kKernelFileSystems[] = {
    {PROC_SUPER_MAGIC, "proc"},        {SYSFS_MAGIC, "sysfs"},
    {DEVPTS_SUPER_MAGIC, "devpts"},    {CGROUP_SUPER_MAGIC, "cgroup"},
    {CGROUP2_SUPER_MAGIC, "cgroup2"},  {DEBUGFS_MAGIC, "debugfs"},
    {TRACEFS_MAGIC, "tracefs"},        {SECURITYFS_MAGIC, "securityfs"},
    {BPF_FS_MAGIC, "bpf"},             {kMqueueMagic, "mqueue"},
    {kConfigfsMagic, "configfs"},      {kFusectlMagic, "fusectl"},
    {PSTOREFS_MAGIC, "pstore"},        {EFIVARFS_MAGIC, "efivarfs"},
};

// The type of the mount `id` as /proc/self/mountinfo names it.
std::string mountType(unsigned long long id) {
  std::ifstream info("/proc/self/mountinfo");
  for (std::string line; std::getline(info, line);) {
    std::istringstream fields(line);
    unsigned long long mount = 0;
    if (!(fields >> mount) || mount != id) continue;
    // The optional fields end with "-", then the type.
    for (std::string field; fields >> field;) {
      if (field == "-") {
        std::string type;
        fields >> type;
        return type;
      }
    }
  }
  return {};
}

}  // namespace

std::optional<std::string> kernelFileSystem(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return std::nullopt;
  const auto magic = static_cast<unsigned long>(fs.f_type);
  for (const Kind& k : kKernelFileSystems) {
    if (k.magic == magic) return k.name;
  }
  if (magic == TMPFS_MAGIC) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 && (sx.stx_mask & STATX_MNT_ID) &&
        mountType(sx.stx_mnt_id) == "devtmpfs") {
      return "devtmpfs";
    }
  }
  return std::nullopt;
}

bool isSystemRoot(int fd) {
  struct stat folder {}, root {};
  return fstat(fd, &folder) == 0 && stat("/", &root) == 0 && folder.st_dev == root.st_dev &&
         folder.st_ino == root.st_ino;
}

std::vector<LockHolder> flockHolders(int fd) {
  std::vector<LockHolder> holders;
  struct stat file {};
  if (fstat(fd, &file) != 0) return holders;
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return holders;
  // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1310795 0 EOF"; a waiter's line has "->" after its
  // number, and is no holder.
  char line[256];
  while (std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16] = {}, mode[16] = {}, access[16] = {};
    long pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    const char* colon = std::strchr(line, ':');
    if (colon == nullptr || std::strncmp(colon + 1, " ->", 3) == 0) continue;
    if (std::sscanf(colon + 1, " %15s %15s %15s %ld %x:%x:%llu", kind, mode, access, &pid, &major,
                    &minor, &inode) != 7 ||
        std::strcmp(kind, "FLOCK") != 0 || pid <= 0) {
      continue;
    }
    if (inode != file.st_ino || major != ::major(file.st_dev) || minor != ::minor(file.st_dev)) {
      continue;
    }
    struct stat process {};
    const std::string proc = "/proc/" + std::to_string(pid);
    if (stat(proc.c_str(), &process) == 0) {
      holders.push_back(LockHolder{static_cast<pid_t>(pid), process.st_uid});
    }
  }
  std::fclose(locks);
  return holders;
}

}  // namespace platform
