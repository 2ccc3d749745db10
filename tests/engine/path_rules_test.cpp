// The --exclude and --include patterns: a walk leaves out exactly what git would ignore with the
// same patterns in a .gitignore at the walked folder's top, and single globs as git matches them.
#include "engine/run/path_rules.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/run/folder_walk.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::TempTree;

TEST(PathRulesTest, GlobsAsGitMatchesThem) {
  const struct {
    const char* pattern;
    const char* path;
    bool matches;
  } cases[] = {
      {"a/*.h", "a/b.h", true},
      {"a/*.h", "a/b/c.h", false},  // "*" stays within a name
      {"a/?.h", "a/b.h", true},
      {"a/?", "a/", false},
      {"**/bits", "bits", true},
      {"**/bits", "x/y/bits", true},
      {"x/**", "x/y/z", true},
      {"x/**", "x", false},
      {"a/**/b", "a/b", true},
      {"a/**/b", "a/x/y/b", true},
      {"a/**/b", "ab", false},
      {"a**b", "axxb", true},  // not between slashes: as one "*"
      {"a**b", "ax/b", false},
      {"[a-c]x", "bx", true},
      {"[!a-c]x", "bx", false},
      {"[^a-c]x", "dx", true},
      {"[[:digit:]]x", "7x", true},
      {"[a-c]", "/", false},
      {"\\*x", "*x", true},
      {"\\*x", "ax", false},
      {"[x", "[x", true},  // no "]": "[" is itself
      {"файл*", "файл.txt", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GlobMatches(c.pattern, c.path), c.matches) << c.pattern << " on " << c.path;
  }
}

// Patterns that made the matcher try every way its stars could match: each answer is still
// right (how fast it comes is measured by scripts/bench, not here).
TEST(PathRulesTest, GlobsWithManyStarsOnLongNames) {
  const std::string as(60, 'a');
  std::string deep;  // 40 folders "d/d/.../d/"
  for (int i = 0; i < 40; ++i) deep += "d/";
  const struct {
    std::string pattern;
    std::string path;
    bool matches;
  } cases[] = {
      {"*a*a*a*a*a*a*a*a*b", as, false},
      {"*a*a*a*a*a*a*a*a*b", as + "b", true},
      {"*a*a*a*a*a*a*a*a*a*a*a*a*b", as + "c", false},
      {"*a*a*a*a*a*a*a*a*a*a*a*a*b", "x" + as + "b", true},
      {"*a*a*a*a*a*a*a*a*a*a*a*a*b", "a" + std::string(59, 'b'), false},  // only one "a"
      {"*a*a*a*b*/x", as + "b/x", true},
      {"*a*a*a*b*/x", as + "/bx", false},  // "*" stops at "/"
      {"**/**/**/**/**/**/**/**/x", deep + "y", false},
      {"**/**/**/**/**/**/**/**/x", deep + "x", true},
      {"**/d/**/d/**/d/**/e", deep + "x", false},
      {"**/d/**/d/**/d/**/e", deep + "e", true},
      {"**/*a*a*a*/**/*a*a*a*b", deep + as + "/" + as, false},
      {"**/*a*a*a*/**/*a*a*a*b", deep + as + "/" + as + "b", true},
      {"?*?*?*?*?*?*?*?*?*?*?*", std::string(10, 'a'), false},
      {"?*?*?*?*?*?*?*?*?*?*?*", std::string(11, 'a'), true},
      {"[a]*[a]*[a]*[a]*[a]*[a]*[a]*[a]*b", as, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GlobMatches(c.pattern, c.path), c.matches) << c.pattern << " on " << c.path;
  }
}

// The same rules written as a POSIX regular expression: "*" [^/]*, "?" [^/], "**/" standing
// alone (.*/)?, a last "/**" or a lone "**" .*
std::string asRegex(const std::string& p) {
  std::string re = "^";
  for (std::size_t i = 0; i < p.size();) {
    if (p[i] != '*') {
      re += p[i] == '?' ? "[^/]" : std::string(1, p[i]);
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < p.size() && p[end] == '*') ++end;
    const bool alone =
        end - i >= 2 && (i == 0 || p[i - 1] == '/') && (end == p.size() || p[end] == '/');
    if (alone && end == p.size()) return re + ".*";
    re += alone ? "(.*/)?" : "[^/]*";
    i = alone ? end + 1 : end;
  }
  return re + "$";
}

// Every pattern of up to five of "a", "*", "/", "?" against every path of up to five of "a",
// "b", "/": the verdict the regular expression gives.
TEST(PathRulesTest, GlobsAgreeWithARegularExpression) {
  const auto all = [](const std::string& alphabet, std::size_t longest) {
    std::vector<std::string> words{""};
    for (std::size_t from = 0; words.back().size() < longest;) {
      const std::size_t to = words.size();
      for (std::size_t i = from; i < to; ++i) {
        for (const char c : alphabet) words.push_back(words[i] + c);
      }
      from = to;
    }
    return words;
  };
  const std::vector<std::string> paths = all("ab/", 5);
  std::size_t wrong = 0;
  for (const std::string& pattern : all("a*/?", 5)) {
    regex_t re;
    ASSERT_EQ(regcomp(&re, asRegex(pattern).c_str(), REG_EXTENDED | REG_NOSUB), 0) << pattern;
    const Glob glob(pattern);
    for (const std::string& path : paths) {
      const bool expected = regexec(&re, path.c_str(), 0, nullptr, 0) == 0;
      if (glob.matches(path) != expected && ++wrong <= 10) {
        ADD_FAILURE() << pattern << " on " << path << ": expected " << expected;
      }
    }
    regfree(&re);
  }
  EXPECT_EQ(wrong, 0u);
}

// The files a walk hands on, relative to the walked folder.
std::set<std::string> walked(const std::string& root, const std::vector<std::string>& excludes,
                             bool gitIgnores = false, std::size_t* ignored = nullptr) {
  Conversion c{.options = {}, .codePage = platform::CodePage::system(), .workFile = {}, .pump = {}};
  c.options.excludes = excludes;
  c.options.gitIgnores = gitIgnores;
  std::set<std::string> files;
  WalkFolderTree(
      root, c, [&](const FileRef& f) { files.insert(f.path.substr(root.size() + 1)); },
      [&](const RunItem& item) {
        if (ignored != nullptr && item.reason == SkipReason::Ignored) ++*ignored;
      });
  return files;
}

// What git leaves untracked and not ignored in a fresh repository at `root` (in `below` only,
// relative to it, when given).
std::set<std::string> notIgnoredByGit(const std::string& root, const std::string& below = {}) {
  const std::string command = "git -C '" + root + (below.empty() ? "'" : "/" + below + "'") +
                              " ls-files --others --exclude-standard";
  std::FILE* out = popen(command.c_str(), "r");
  std::set<std::string> files;
  char line[4096];
  while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) {
    std::string name(line);
    if (!name.empty() && name.back() == '\n') name.pop_back();
    if (name != ".gitignore") files.insert(name);
  }
  if (out != nullptr) pclose(out);
  return files;
}

TEST(PathRulesTest, AWalkLeavesOutWhatGitIgnores) {
  if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no git here";
  const std::vector<std::vector<std::string>> ruleSets = {
      {"bits"},
      {"/x86_64-linux-gnu/bits"},
      {"c++/"},
      {"x86_64-linux-gnu/bits/*"},
      {"**/bits"},
      {"*.h", "!keep.h"},
      {"sub/*", "!sub/keep.h"},
      {"a/**/z.txt"},
      {"**/deep/**"},
      {"[a-c]*.txt", "?.h"},
      {"/top.txt"},
      {"./c++", "include/x86_64-linux-gnu/bits/*"},
      {"*", "!*/", "!*.txt"},
      {"c++", "!c++/12"},
      {"\\!bang", "trail\\ "},
  };
  for (const auto& rules : ruleSets) {
    TempTree tree;
    for (const char* name :
         {"x86_64-linux-gnu/bits/a.h", "x86_64-linux-gnu/bits/types/b.h", "x86_64-linux-gnu/sys/c.h",
          "bits/d.h", "c++/12/bits/e.h", "c++/12/vector", "other/c++", "keep.h", "top.txt",
          "sub/top.txt", "sub/keep.h", "sub/in/f.h", "a/z.txt", "a/b/z.txt", "a/b/c/z.txt",
          "deep/x/y.txt", "q/deep/r.txt", "b1.txt", "d.txt", "x.h", "!bang", "trail "}) {
      tree.write(name, "text");
    }
    std::ostringstream ignore;
    for (const std::string& r : rules) ignore << r << '\n';
    tree.write(".gitignore", ignore.str());
    ASSERT_EQ(std::system(("git init -q '" + tree.path() + "'").c_str()), 0);
    std::string shown;
    for (const std::string& r : rules) shown += r + "  ";
    const std::set<std::string> git = notIgnoredByGit(tree.path());
    ASSERT_FALSE(git.empty());
    std::set<std::string> ours = walked(tree.path(), rules);
    ours.erase(".gitignore");
    EXPECT_EQ(ours, git) << shown;
  }
}

// In a work tree: .gitignore at every level with negation, anchoring and folders only,
// .git/info/exclude and the user's global file (a link), for a walk of the top and of a folder
// below it; then a .ignore file, which git does not read, and which wins over the .gitignore beside
// it.
TEST(PathRulesTest, AWalkInAWorkTreeLeavesWhatGitIgnores) {
  if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no git here";
  TempTree home;
  testing_support::ScopedEnv homeEnv("HOME", home.path().c_str());
  testing_support::ScopedEnv xdg("XDG_CONFIG_HOME", (home.path() + "/config").c_str());
  home.write(".gitconfig", "[core]\n\texcludesFile = ~/global-ignore\n");
  // The global file through a link of the user's, as git reads it.
  home.write("global-real", "*.bak\n");
  ASSERT_EQ(symlink((home / "global-real").c_str(), (home / "global-ignore").c_str()), 0);
  TempTree tree;
  for (const char* name :
       {"a.txt", "a.bak", "a.log", "keep.log", "build/out.txt", "src/build/x.c", "src/gen/y.c",
        "src/gen/keep.c", "src/z.tmp", "src/lib/w.tmp", "docs/only-here.md", "docs/deep/n.md",
        "node_modules/m.js", "src/node_modules/m.js", "local.secret", "src/local.secret"}) {
    tree.write(name, "text");
  }
  tree.write(".gitignore", "*.log\n!keep.log\n/build\nnode_modules/\n");
  tree.write("src/.gitignore", "gen/*\n!gen/keep.c\n/*.tmp\n");
  tree.write("docs/.gitignore", "deep/\n");
  ASSERT_EQ(std::system(("git init -q '" + tree.path() + "'").c_str()), 0);
  tree.write(".git/info/exclude", "local.secret\n");
  for (const std::string below : {"", "src", "docs"}) {
    const std::string root = below.empty() ? tree.path() : tree.path() + "/" + below;
    std::set<std::string> git;
    for (const std::string& f : notIgnoredByGit(root)) {
      if (!f.ends_with(".gitignore")) git.insert(f);
    }
    ASSERT_FALSE(git.empty());
    std::size_t ignored = 0;
    std::set<std::string> ours = walked(root, {}, true, &ignored);
    std::erase_if(ours, [](const std::string& f) { return f.ends_with(".gitignore"); });
    EXPECT_EQ(ours, git) << "walking " << (below.empty() ? "the top" : below);
    EXPECT_GT(ignored, 0u);
    EXPECT_GT(walked(root, {}, false).size(), ours.size()) << "--no-ignore walks them all";
  }
  tree.write("src/.ignore", "!z.tmp\nlib/\n");
  const std::set<std::string> withIgnore = walked(tree.path() + "/src", {}, true);
  EXPECT_TRUE(withIgnore.contains("z.tmp")) << ".ignore wins over .gitignore";
  EXPECT_FALSE(withIgnore.contains("lib/w.tmp"));
}

// What git lists in each repository at or below `root`, combined, as absolute paths: its
// tracked files and the untracked ones it does not ignore.
std::set<std::string> gitListsIn(const std::vector<std::string>& repositories) {
  std::set<std::string> files;
  for (const std::string& repository : repositories) {
    std::string out;
    EXPECT_EQ(
        testing_support::run("git -C '" + repository + "' ls-files -co --exclude-standard", &out),
        0);
    std::istringstream lines(out);
    for (std::string name; std::getline(lines, name);) {
      if (!name.ends_with("/")) files.insert(repository + "/" + name);  // a nested repository
    }
  }
  return files;
}

// Files git tracks are never ignored: committed and then ignored, force-added, inside an
// ignored folder (walked for them alone). A nested repository and a linked one (a .git file)
// have their own rules, the outer one's contradicting them; walks start above every
// repository, at a top, inside an ignored folder and below a top. Each walk hands on exactly
// the files git lists in the repositories it covers.
TEST(PathRulesTest, AWalkProcessesWhatGitListsInEveryRepository) {
  if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no git here";
  TempTree home;
  testing_support::ScopedEnv homeEnv("HOME", home.path().c_str());
  testing_support::ScopedEnv xdg("XDG_CONFIG_HOME", (home.path() + "/config").c_str());
  TempTree root;
  TempTree elsewhere;
  const std::string outer = root / "outer";
  const std::string git = "git -c user.name=t -c user.email=t@t -C ";
  for (const char* name :
       {"outer/build/gen.c", "outer/debug.log", "outer/src/a.c", "outer/force/keep.tmp"}) {
    root.write(name, "text");
  }
  ASSERT_EQ(testing_support::run(git + "'" + outer + "' init -q && " + git + "'" + outer +
                                 "' add build/gen.c debug.log src/a.c && " + git + "'" + outer +
                                 "' commit -qm one"),
            0);
  root.write("outer/.gitignore", "build/\n*.log\n*.tmp\ncache/\n");
  for (const char* name :
       {"outer/build/new.c", "outer/build/sub/x.c", "outer/other.log", "outer/force/drop.tmp",
        "outer/cache/c.txt", "outer/src/b.c", "outer/src/b.tmp", "outer/inner/a.log",
        "outer/inner/b.txt", "outer/inner/t.txt", "outer/inner/c.c", "outer/linked/x.o",
        "outer/linked/y.c", "outer/linked/z.log"}) {
    root.write(name, "text");
  }
  root.write("outer/inner/.gitignore", "*.txt\n");
  root.write("outer/linked/.gitignore", "*.o\n");
  ASSERT_EQ(testing_support::run(
                git + "'" + outer + "' add -f force/keep.tmp && " + git + "'" + outer +
                "/inner' init -q && " + git + "'" + outer + "/inner' add -f t.txt && " + git + "'" +
                outer + "/linked' init -q --separate-git-dir '" + elsewhere / "linked.git" + "'"),
            0);
  const std::vector<std::string> repositories = {outer, outer + "/inner", outer + "/linked"};
  const std::set<std::string> listed = gitListsIn(repositories);
  ASSERT_TRUE(listed.contains(outer + "/build/gen.c"));
  for (const std::string below : {"", "/outer", "/outer/build", "/outer/inner", "/outer/src"}) {
    const std::string start = root.path() + below;
    std::set<std::string> expected;
    for (const std::string& f : listed) {
      if (f.starts_with(start + "/")) expected.insert(f.substr(start.size() + 1));
    }
    EXPECT_EQ(walked(start, {}, true), expected) << "walking " << below;
  }
}

TEST(PathRulesTest, APatternThatNeverMatchedIsNamed) {
  PathRules rules({"*.o", "build/", "!keep.o", "#literal"});
  EXPECT_EQ(rules.leavesOut("src/a.o", false), true);
  EXPECT_EQ(rules.leavesOut("build", false), std::nullopt) << "a file is no folder";
  EXPECT_EQ(rules.leavesOut("#literal", false), true) << "no comments on the command line";
  EXPECT_EQ(rules.unused(), (std::vector<std::string>{"build/", "!keep.o"}));
  EXPECT_EQ(rules.leavesOut("keep.o", false), false);
  EXPECT_EQ(rules.unused(), (std::vector<std::string>{"build/"}));
  PathRules file;
  EXPECT_FALSE(file.add("# a comment", true));
  EXPECT_FALSE(file.add("   ", true));
  EXPECT_TRUE(file.add("x  \r", true));
  EXPECT_EQ(file.leavesOut("x", false), true) << "trailing spaces and CR go";
}

}  // namespace
}  // namespace engine
