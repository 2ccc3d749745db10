#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run/path_rules.h"
#include "engine/run/run_item.h"

namespace engine {

/// The patterns of one folder's ignore files (.gitignore, then .ignore, which wins where both
/// speak), for the paths below it.
struct IgnoreLayer {
  std::string base;  ///< the folder, below the work tree's top ("" for the top itself)
  PathRules rules;
};

/// What git would ignore in the work tree a walk is in: the work tree found above the walked
/// folder (a `.git` folder or file), the patterns of the folders between the work tree's top and
/// the walked folder, `.git/info/exclude`, and the user's global excludes file (`core.excludesFile`
/// of ~/.gitconfig or $XDG_CONFIG_HOME/git/config, else $XDG_CONFIG_HOME/git/ignore). Each
/// folder's own files are read by the walk through the folder's descriptor (Layer()).
/// Only rules the user could have written apply: a repository whose top, .git or git folder is
/// another user's is not used at all; an ignore file of another user's is not read, nor are the
/// ignore files of a folder others may write (group- or world-writable, unless sticky and the
/// user's). Each such refusal is a Notice item, for the walk to report.
class GitIgnores {
 public:
  /// The work tree that holds the folder whose path without links is `canonical`; nothing
  /// outside a work tree, or in another user's. `notices` receives the refusals.
  static std::optional<GitIgnores> Above(const std::string& canonical,
                                         std::vector<RunItem>& notices);

  /// The folder's own ignore files, read through `folder` (never through a link); nothing when
  /// it has none, or none it may read. `base`: the folder below the work tree's top; `shown`:
  /// its path for `notices`, which receives the refusals.
  static std::shared_ptr<const IgnoreLayer> Layer(int folder, const std::string& base,
                                                  const std::string& shown,
                                                  std::vector<RunItem>& notices);

  /// The walked folder below the work tree's top ("" when it is the top).
  const std::string& walkedBase() const { return m_walked; }

  /// Whether any pattern outside the walked folder's own files applies (above it, info/exclude,
  /// the global file): without those and without a layer of its own, nothing is ignored.
  bool anyOuter() const { return !m_outer.empty() || !m_exclude.empty() || !m_global.empty(); }

  /// Whether `path` (below the work tree's top) is ignored: `inner` are the layers of the walked
  /// folder and those below it down to the path's folder, nearest last; then the folders above
  /// the walked one, info/exclude and the global file, in git's order.
  bool ignored(std::string_view path, bool folder,
               const std::vector<const IgnoreLayer*>& inner) const;

 private:
  std::string m_walked;
  std::vector<std::shared_ptr<const IgnoreLayer>> m_outer;  // top first, the walked folder's parent last
  PathRules m_exclude;  // info/exclude
  PathRules m_global;
};

}  // namespace engine
