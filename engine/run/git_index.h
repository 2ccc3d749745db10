#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// The paths a git repository's index holds: the files git tracks, which its ignore rules never
/// touch ("Files already tracked by Git are not affected").
class GitIndex {
 public:
  /// The index whose whole file is `bytes` (versions 2, 3 and 4; `hashSize` 20 for SHA-1
  /// object names, 32 for SHA-256); nothing when the bytes are not one, are cut short or are
  /// corrupt anywhere up to the last entry. Every field is checked against the bytes left.
  static std::optional<GitIndex> parse(std::string_view bytes, std::size_t hashSize = 20);

  /// How reading the index file of a repository went.
  enum class Read {
    Done,     ///< read: `index` holds its paths
    Missing,  ///< there is none (a fresh repository): nothing is tracked
    Failed,   ///< it cannot be read, is another user's, or is no index git writes
  };
  /// Reads the file "index" in the open repository folder `gitDir`, never through a link, into
  /// `index`; `hashSize` as parse()'s.
  static Read load(int gitDir, std::size_t hashSize, GitIndex& index);

  /// Whether git tracks the file (or submodule) `path`, below the work tree's top.
  bool tracked(std::string_view path) const;
  /// Whether git tracks anything inside the folder `path`, at any depth.
  bool holdsTracked(std::string_view folder) const;
  std::size_t size() const { return m_paths.size(); }

 private:
  std::vector<std::string> m_paths;  // sorted by bytes, each once
};

}  // namespace engine
