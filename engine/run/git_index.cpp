#include "engine/run/git_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/file.h"

namespace engine {
namespace {

// An index git would not write: larger than this is taken for a broken file, not read.
constexpr std::uint64_t kLargestIndex = std::uint64_t{2} << 30;

// The fixed part of an entry before its flags: ctime, mtime, dev, ino, mode, uid, gid and size,
// four bytes each (two for each time), then the object name.
constexpr std::size_t kStatPart = 40;
constexpr std::uint16_t kExtended = 0x4000;
constexpr std::uint16_t kNameLength = 0x0fff;

// Reads the bytes of the index, each read checked against what is left.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : m_bytes(bytes) {}
  std::size_t at() const { return m_at; }
  std::size_t left() const { return m_bytes.size() - m_at; }
  bool skip(std::size_t n) {
    if (n > left()) return false;
    m_at += n;
    return true;
  }
  bool u16(std::uint16_t& v) {
    if (left() < 2) return false;
    v = static_cast<std::uint16_t>(byte(0) << 8 | byte(1));
    m_at += 2;
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (left() < 4) return false;
    v = std::uint32_t{byte(0)} << 24 | std::uint32_t{byte(1)} << 16 | std::uint32_t{byte(2)} << 8 |
        byte(3);
    m_at += 4;
    return true;
  }
  // git's offset varint: seven bits a byte, most significant first, each continuation adding
  // one so that every number has one spelling.
  bool varint(std::uint64_t& v) {
    if (left() < 1) return false;
    unsigned char c = byte(0);
    ++m_at;
    v = c & 127u;
    while ((c & 128u) != 0) {
      if (left() < 1 || v + 1 > (std::uint64_t{1} << 56)) return false;
      c = byte(0);
      ++m_at;
      v = ((v + 1) << 7) | (c & 127u);
    }
    return true;
  }
  // The NUL-ended text from here; the NUL is read too.
  bool text(std::string_view& s) {
    const std::size_t nul = m_bytes.find('\0', m_at);
    if (nul == std::string_view::npos) return false;
    s = m_bytes.substr(m_at, nul - m_at);
    m_at = nul + 1;
    return true;
  }

 private:
  unsigned char byte(std::size_t i) const { return static_cast<unsigned char>(m_bytes[m_at + i]); }
  std::string_view m_bytes;
  std::size_t m_at = 0;
};

}  // namespace

std::optional<GitIndex> GitIndex::parse(std::string_view bytes, std::size_t hashSize) {
  Reader r(bytes);
  std::uint32_t version = 0;
  std::uint32_t count = 0;
  if (!bytes.starts_with("DIRC") || !r.skip(4) || !r.u32(version) || !r.u32(count)) {
    return std::nullopt;
  }
  if (version < 2 || version > 4) return std::nullopt;
  // Each entry takes more than its fixed part: a count the bytes cannot hold is a lie.
  const std::size_t fixed = kStatPart + hashSize + 2;
  if (count > r.left() / (fixed + 1)) return std::nullopt;
  GitIndex index;
  index.m_paths.reserve(count);
  std::string name;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t start = r.at();
    std::uint16_t flags = 0;
    if (!r.skip(kStatPart + hashSize) || !r.u16(flags)) return std::nullopt;
    if ((flags & kExtended) != 0) {
      std::uint16_t extended = 0;
      if (version < 3 || !r.u16(extended)) return std::nullopt;
    }
    if (version == 4) {
      std::uint64_t strip = 0;
      std::string_view suffix;
      if (!r.varint(strip) || strip > name.size() || !r.text(suffix)) return std::nullopt;
      name.resize(name.size() - strip);
      name.append(suffix);
    } else {
      std::string_view whole;
      if (!r.text(whole)) return std::nullopt;
      const std::size_t length = flags & kNameLength;
      if (length != kNameLength ? whole.size() != length : whole.size() < kNameLength) {
        return std::nullopt;
      }
      name.assign(whole);
      // NULs pad the entry to a multiple of eight bytes, one at least (read with the name).
      const std::size_t size = r.at() - start;
      if (!r.skip((8 - size % 8) % 8)) return std::nullopt;
    }
    if (name.empty()) return std::nullopt;
    index.m_paths.push_back(name);
  }
  // git keeps them sorted, each path once per stage (a conflict's stages are one path here);
  // an index out of order is sorted rather than trusted.
  if (!std::is_sorted(index.m_paths.begin(), index.m_paths.end())) {
    std::sort(index.m_paths.begin(), index.m_paths.end());
  }
  index.m_paths.erase(std::unique(index.m_paths.begin(), index.m_paths.end()), index.m_paths.end());
  return index;
}

GitIndex::Read GitIndex::load(int gitDir, std::size_t hashSize, GitIndex& index) {
  const platform::File file(
      ::openat(gitDir, "index", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file.isOpen()) return errno == ENOENT ? Read::Missing : Read::Failed;
  struct stat st {};
  if (fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      static_cast<std::uint64_t>(st.st_size) > kLargestIndex) {
    return Read::Failed;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(file.fd(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Read::Failed;
    got += static_cast<std::size_t>(n);
  }
  auto parsed = parse(bytes, hashSize);
  if (!parsed) return Read::Failed;
  index = std::move(*parsed);
  return Read::Done;
}

bool GitIndex::tracked(std::string_view path) const {
  return std::binary_search(m_paths.begin(), m_paths.end(), path,
                            [](std::string_view a, std::string_view b) { return a < b; });
}

bool GitIndex::holdsTracked(std::string_view folder) const {
  const std::string inside = std::string(folder) + "/";
  const auto it = std::lower_bound(m_paths.begin(), m_paths.end(), inside);
  return it != m_paths.end() && it->starts_with(inside);
}

}  // namespace engine
