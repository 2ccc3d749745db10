#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run/git_index.h"
#include "engine/run/path_rules.h"
#include "engine/run/run_item.h"

namespace engine {

/// The patterns of one folder's ignore files (.gitignore, then .ignore, which wins where both
/// speak), for the paths below it.
struct IgnoreLayer {
  std::string base;  ///< the folder, below the work tree's top ("" for the top itself)
  PathRules rules;
};

/// What git would ignore in one repository's work tree, as a walk meets it: the repository found
/// above the walked folder (Above()) or one met on the way down, a nested repository or a
/// submodule, whose folder holds a `.git` folder or file (At()). Its rules are the patterns of
/// the folders between the work tree's top and the walked folder, `info/exclude`, and the user's
/// global excludes file (`core.excludesFile` of ~/.gitconfig or $XDG_CONFIG_HOME/git/config,
/// else $XDG_CONFIG_HOME/git/ignore); each folder's own files are read by the walk through the
/// folder's descriptor (Layer()). Files the repository's index holds are never ignored.
/// Only rules the user could have written apply: a repository whose top, .git or git folder is
/// another user's is not used at all; an ignore file or index of another user's is not read,
/// nor are the ignore files of a folder others may write (group- or world-writable, unless
/// sticky and the user's, or the group is the user's private one). Each such refusal is a
/// Notice item, for the walk to report.
class GitIgnores {
 public:
  /// The user's global excludes file, shared by every repository of a walk: read into `global`
  /// the first time it is asked for (when it is empty). `notices` receives the refusals.
  using Global = std::shared_ptr<const PathRules>;

  /// The work tree that holds the folder whose path without links is `canonical`; nothing
  /// outside a work tree, or in another user's. `notices` receives the refusals.
  static std::optional<GitIgnores> Above(const std::string& canonical, Global& global,
                                         std::vector<RunItem>& notices);

  /// The repository whose work tree's top is the folder `top` (its path without links), which
  /// holds a `.git`; nothing when that is no repository, or `refused` (and a notice) when it is
  /// another user's.
  static std::optional<GitIgnores> At(const std::string& top, Global& global,
                                      std::vector<RunItem>& notices, bool& refused);

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
  bool anyOuter() const { return !m_outer.empty() || !m_exclude.empty() || !m_global->empty(); }

  /// Whether `path` (below the work tree's top) is ignored by the rules: `inner` are the layers
  /// of the walked folder and those below it down to the path's folder, nearest last; then the
  /// folders above the walked one, info/exclude and the global file, in git's order. Whether
  /// the index tracks it is asked apart (tracked()).
  bool ignored(std::string_view path, bool folder,
               const std::vector<const IgnoreLayer*>& inner) const;

  /// Whether the walked folder, or a folder above it in the work tree, is ignored: then it is
  /// walked for the files the index holds in it alone, as git lists them.
  bool walkedIgnored() const;

  /// Whether the index holds the file `path` (below the work tree's top).
  bool tracked(std::string_view path) const { return m_index.tracked(path); }
  /// Whether the index holds files inside the folder `path`: an ignored folder is walked for them.
  bool holdsTracked(std::string_view path) const { return m_index.holdsTracked(path); }

 private:
  static std::optional<GitIgnores> open(const std::string& top, const struct stat& dotGit,
                                        const std::string& walked, Global& global,
                                        std::vector<RunItem>& notices, bool& refused);

  std::string m_walked;
  std::vector<std::shared_ptr<const IgnoreLayer>> m_outer;  // top first, the walked folder's parent last
  PathRules m_exclude;  // info/exclude
  Global m_global;
  GitIndex m_index;
};

}  // namespace engine
