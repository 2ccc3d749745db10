#include "engine/run/old_files.h"

#include <sys/resource.h>

#include <algorithm>
#include <utility>

namespace engine {
namespace {

constexpr auto kOldFileTime = std::chrono::seconds(2);

// How many old files stay open at once: up to 1024, within a quarter of the descriptors the
// process may open (each may keep its folder open too).
std::size_t oldFilesKept() {
  struct rlimit limit {};
  const rlim_t open = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
  return std::clamp<std::size_t>(static_cast<std::size_t>(open / 4), 16, 1024);
}

}  // namespace

OldFiles::OldFiles(Report report) : m_report(std::move(report)), m_kept(oldFilesKept()) {}

void OldFiles::remember(std::shared_ptr<OldFile> old) {
  const auto now = std::chrono::steady_clock::now();
  m_recent.push_back({now, std::move(old)});
  while (m_recent.size() > m_kept || now - m_recent.front().replaced > kOldFileTime) {
    settle(*m_recent.front().old);
    m_recent.pop_front();
  }
}

void OldFiles::lookAtAll() {
  for (Recent& r : m_recent) settle(*r.old);
  m_recent.clear();
}

void OldFiles::settle(OldFile& old) {
  if (auto late = LookAgain(old)) m_report(old.path, *late, old.replacements);
}

}  // namespace engine
