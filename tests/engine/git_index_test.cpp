// The index reader: the paths of every index version git writes, and an index cut short or
// damaged, which is read whole or not at all and never crashes.
#include "engine/run/git_index.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/run/folder_walk.h"
#include "platform/file.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::TempTree;

// The tracked paths as git lists them, and whether the reader knows each of them and no other.
void expectSameAsGit(const std::string& repository, const GitIndex& index) {
  std::string out;
  ASSERT_EQ(testing_support::run("git -C '" + repository + "' ls-files -c", &out), 0);
  std::istringstream lines(out);
  std::size_t count = 0;
  for (std::string name; std::getline(lines, name); ++count) {
    EXPECT_TRUE(index.tracked(name)) << name;
  }
  EXPECT_EQ(index.size(), count);
  EXPECT_FALSE(index.tracked("deep/er"));
  EXPECT_TRUE(index.holdsTracked("deep/er"));
  EXPECT_FALSE(index.holdsTracked("deep/e"));
}

class GitIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no git here";
    // Long shared prefixes, for version 4's compression, and a long name.
    for (const std::string& name :
         std::vector<std::string>{"a.c", "deep/er/and/deeper/one.c", "deep/er/and/deeper/two.c",
                                  "deep/er/x", "deep/era", std::string(250, 'n')}) {
      tree.write(name, "text");
    }
    tree.write("new.c", "text");
    ASSERT_EQ(testing_support::run("git -C '" + tree.path() + "' init -q && git -C '" +
                                   tree.path() + "' add . ':!new.c'"),
              0);
  }

  std::string indexBytes() const { return testing_support::readFile(tree / ".git/index"); }

  GitIndex::Read load(GitIndex& index) const {
    const platform::File git(::open((tree / ".git").c_str(), O_RDONLY | O_DIRECTORY));
    return GitIndex::load(git.fd(), 20, index);
  }

  TempTree tree;
};

TEST_F(GitIndexTest, EveryVersionGitWrites) {
  const struct {
    const char* make;  // run in the repository
    int version;
  } cases[] = {
      {"true", 2},
      // An intent-to-add entry carries extended flags, which only version 3 has.
      {"git update-index --index-version 3 && git add -N new.c", 3},
      {"git update-index --index-version 4", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    ASSERT_EQ(testing_support::run("cd '" + tree.path() + "' && " + c.make), 0);
    const std::string bytes = indexBytes();
    ASSERT_EQ(bytes[7], c.version);
    GitIndex index;
    ASSERT_EQ(load(index), GitIndex::Read::Done);
    expectSameAsGit(tree.path(), index);
  }
}

TEST_F(GitIndexTest, CutOrDamagedIsReadWholeOrNotAtAll) {
  ASSERT_EQ(testing_support::run("cd '" + tree.path() + "' && git add -N new.c"), 0);
  for (const int version : {3, 4}) {
    ASSERT_EQ(testing_support::run("git -C '" + tree.path() + "' update-index --index-version " +
                                   std::to_string(version)),
              0);
    const std::string bytes = indexBytes();
    const std::optional<GitIndex> whole = GitIndex::parse(bytes);
    ASSERT_TRUE(whole);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      const auto part = GitIndex::parse(std::string_view(bytes).substr(0, cut));
      if (part) {
        ASSERT_EQ(part->size(), whole->size()) << "cut at " << cut;
      }
    }
    std::mt19937 random(version);
    for (int round = 0; round < 2000; ++round) {
      std::string damaged = bytes;
      for (int i = 0; i < 4; ++i) damaged[random() % damaged.size()] = static_cast<char>(random());
      const auto read = GitIndex::parse(damaged);
      if (read) {
        EXPECT_LE(read->size(), whole->size());
      }
    }
  }
  // A count no file could hold is refused before anything is kept for it.
  EXPECT_FALSE(GitIndex::parse(std::string("DIRC\0\0\0\2\xff\xff\xff\xff", 12)));
}

// A damaged index leaves the walk without tracked files, and it says so once.
TEST_F(GitIndexTest, UnreadableIndexIsSaidAndTracksNothing) {
  tree.write(".gitignore", "*.c\n");
  tree.write(".git/index", std::string("DIRC\0\0\0\2\0\0\0\1 cut", 16));
  Conversion c{.options = {}, .codePage = platform::CodePage::system(), .workFile = {}, .pump = {}};
  c.options.gitIgnores = true;
  std::set<std::string> files;
  std::vector<std::string> notices;
  WalkFolderTree(
      tree.path(), c,
      [&](const FileRef& f) { files.insert(f.path.substr(tree.path().size() + 1)); },
      [&](const RunItem& item) {
        if (item.kind == RunItem::Kind::Notice) notices.push_back(item.path);
      });
  EXPECT_EQ(notices, std::vector<std::string>{tree / ".git/index"});
  EXPECT_FALSE(files.contains("a.c"));
  EXPECT_TRUE(files.contains("deep/er/x"));
}

}  // namespace
}  // namespace engine
