#include "engine/file/count_occurrences.h"
#include "engine/run/folder_walk.h"
#include "platform/error.h"
#include "words/texts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::RecordingList;
using testing_support::TempTree;

class FolderWalkTest : public ::testing::Test {
 protected:
  FolderWalkTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  Conversion conversion(const std::string& find, const std::string& repl,
                        const std::string& extension = "") {
    Conversion c{.options = {}, .messages = list, .codePage = *m_page,
                 .workFile = ChooseWorkFile(), .pump = [this] { ++pumps; }};
    c.options.findText = find;
    c.options.replaceText = repl;
    c.options.extension = extension;
    return c;
  }

  // The path parts of the list's lines, relative to the tree.
  std::vector<std::string> reported() const {
    std::vector<std::string> names;
    for (const auto& m : list.measures) names.push_back(m.substr(tree.path().size() + 1));
    return names;
  }

  TempTree m_temp;
  testing_support::ScopedEnv m_env;
  TempTree tree;
  RecordingList list;
  int pumps = 0;
  std::optional<platform::CodePage> m_page = platform::CodePage::byName("CP1251");
};

TEST(FileExtensionTest, PartAfterTheLastDot) {
  EXPECT_EQ(FileExtension("notes.txt"), ".txt");
  EXPECT_EQ(FileExtension("a.tar.gz"), ".gz");
  EXPECT_EQ(FileExtension("README"), "");
  EXPECT_EQ(FileExtension("archive."), "");
  EXPECT_EQ(FileExtension(".profile"), ".profile");
  EXPECT_EQ(FileExtension("NOTES.TXT"), ".TXT");
  EXPECT_EQ(FileExtension(""), "");
}

TEST(NormalizeExtensionTest, SpacesGoAndTheDotComes) {
  EXPECT_EQ(NormalizeExtension("txt"), ".txt");
  EXPECT_EQ(NormalizeExtension(".txt"), ".txt");
  EXPECT_EQ(NormalizeExtension("  txt "), ".txt");
  EXPECT_EQ(NormalizeExtension("*.txt"), ".*.txt");
  EXPECT_EQ(NormalizeExtension("   "), "");
  EXPECT_EQ(NormalizeExtension(""), "");
  EXPECT_EQ(NormalizeExtension("\ttxt"), ".\ttxt") << "only spaces are trimmed";
  EXPECT_EQ(NormalizeExtension("  .tar.gz"), ".tar.gz");
  EXPECT_EQ(NormalizeExtension(". "), ".");
}

TEST(WarningTextTest, TheConfirmationsToTheCharacter) {
  EXPECT_EQ(FileWarning("/d/a.txt", "x", "y"),
            "Внимание! В файле \"/d/a.txt\" все сочетания символов \"x\" будут заменены на "
            "\"y\".\r\nПерезаписать файл ?");
  EXPECT_EQ(FolderWarning("/d", "a\r\nb", ""),
            "Внимание! Во всех файлах, находящихся в папке \"/d\" и её вложенных подпапках, все "
            "сочетания символов \"a\r\nb\" будут заменены на \"\".\r\nПерезаписать все файлы ?");
}

TEST_F(FolderWalkTest, FilesBeforeSubfoldersDepthFirstInNameOrder) {
  // Binary files report themselves, so the list shows the order of conversion.
  const std::string binary("\x01", 1);
  for (const char* name : {"b", "a", "Y/d", "X/c", "X/Z/e", "X/Z/W/f", "X/g"}) {
    tree.write(name, binary);
  }
  ConvertFolderTree(tree.path(), conversion("x", "y"));
  EXPECT_EQ(reported(), (std::vector<std::string>{"a", "b", "X/c", "X/g", "X/Z/e", "X/Z/W/f", "Y/d"}));
  ASSERT_EQ(list.lines.size(), 7u);
  EXPECT_EQ(list.lines[0], "!_  Бинарный файл: " + tree / "a");
}

TEST_F(FolderWalkTest, ExtensionFilterIsExactAndCaseSensitive) {
  const std::vector<std::string> names = {"notes.txt", "NOTES.TXT", "notes.txt.bak", "a.tar.gz",
                                          "archive.", "noext", "sub/deep.txt"};
  auto reset = [&] {
    for (const auto& n : names) tree.write(n, "old");
  };
  auto converted = [&] {
    std::vector<std::string> out;
    for (const auto& n : names) {
      if (readFile(tree / n) == "new") out.push_back(n);
    }
    return out;
  };
  reset();
  ConvertFolderTree(tree.path(), conversion("old", "new", ".txt"));
  EXPECT_EQ(converted(), (std::vector<std::string>{"notes.txt", "sub/deep.txt"}));
  reset();
  ConvertFolderTree(tree.path(), conversion("old", "new", ".gz"));
  EXPECT_EQ(converted(), std::vector<std::string>{"a.tar.gz"});
  reset();
  ConvertFolderTree(tree.path(), conversion("old", "new", "."));
  EXPECT_TRUE(converted().empty());
  reset();
  ConvertFolderTree(tree.path(), conversion("old", "new", ".*.txt"));
  EXPECT_TRUE(converted().empty());
  reset();
  ConvertFolderTree(tree.path(), conversion("old", "new"));
  EXPECT_EQ(converted(), names);
  EXPECT_TRUE(list.lines.empty());
}

TEST_F(FolderWalkTest, ProtectedFilesGiveOneLineEachAndTheWalkGoesOn) {
  tree.write("1.txt", "old");
  const std::string ro = tree.write("2-ro.txt", "old");
  ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
  tree.write("3.txt", "old");
  tree.write(".hidden", "old");
  const std::string sys = tree.write("sub/sys.txt", "old");
  ASSERT_EQ(setxattr(sys.c_str(), "user.DOSATTRIB", "0x4", 3, 0), 0);
  tree.write("sub/z.txt", "old");
  ConvertFolderTree(tree.path(), conversion("old", "new"));
  EXPECT_EQ(reported(), (std::vector<std::string>{".hidden", "2-ro.txt", "sub/sys.txt"}));
  ASSERT_EQ(list.lines.size(), 3u);
  EXPECT_EQ(list.lines[1], "!_ Ошибка 75 Не удалось заменить файл: файл только для чтения - " +
                               tree.path() + "/2-ro.txt");
  EXPECT_EQ(list.lines[0], "!_ Ошибка 75 Не удалось заменить файл: файл скрытый - " +
                               tree.path() + "/.hidden");
  EXPECT_EQ(readFile(ro), "old");
  EXPECT_EQ(readFile(tree / "1.txt"), "new");
  EXPECT_EQ(readFile(tree / "3.txt"), "new");
  EXPECT_EQ(readFile(tree / "sub/z.txt"), "new");
}

TEST_F(FolderWalkTest, LinksAreNeverFollowed) {
  tree.write("X/file.txt", "a");
  ASSERT_EQ(symlink("..", (tree / "X/loop").c_str()), 0);            // back to the top
  ASSERT_EQ(symlink("file.txt", (tree / "X/alias.txt").c_str()), 0);  // to a file
  // Doubling shows a file converted twice.
  ConvertFolderTree(tree.path(), conversion("a", "aa"));
  EXPECT_EQ(readFile(tree / "X/file.txt"), "aa");
  EXPECT_EQ(reported(), (std::vector<std::string>{"X/alias.txt", "X/loop"}));
  for (const auto& line : list.lines) EXPECT_EQ(line.rfind("!_ Ошибка 75 ", 0), 0u) << line;
  struct stat st {};
  ASSERT_EQ(lstat((tree / "X/alias.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(FolderWalkTest, PathRules) {
  tree.write("a.txt", "old");
  // A trailing "/" makes no difference.
  ConvertFolderTree(tree.path() + "/", conversion("old", "new"));
  EXPECT_EQ(readFile(tree / "a.txt"), "new");
  // The path is used as given: with spaces around it, it names nothing here.
  ConvertFolderTree("  " + tree.path() + "  ", conversion("new", "newer"));
  // A file instead of a folder, or nothing at all: nothing happens.
  ConvertFolderTree(tree / "a.txt", conversion("new", "newer"));
  ConvertFolderTree(tree / "missing", conversion("new", "newer"));
  ConvertFolderTree("", conversion("new", "newer"));
  EXPECT_EQ(readFile(tree / "a.txt"), "new");
  EXPECT_TRUE(list.lines.empty());
  // The root in any spelling, the kernel's file systems and paths without "/" are not walked.
  // The filter matches nothing, so even a walk that wrongly started would change no file; the
  // pump shows whether it started.
  ASSERT_EQ(symlink("/", (tree / "root-link").c_str()), 0);
  const std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(tree.path().c_str()), 0);
  pumps = 0;
  for (const std::string& path : {std::string("/"), std::string("/."), std::string("//"),
                                  std::string("/tmp/.."), tree / "root-link", std::string("/proc"),
                                  std::string("/sys/"), std::string("a.txt"), std::string(".")}) {
    ConvertFolderTree(path, conversion("x", "y", ".no-such-extension"));
    EXPECT_EQ(pumps, 0) << path;
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_TRUE(list.lines.empty());
  EXPECT_EQ(RefusedFolder("/tmp/.."), WalkRefusal::Root);
  EXPECT_EQ(RefusedFolder("/proc/self"), WalkRefusal::SystemFileSystem);
  EXPECT_EQ(RefusedFolder(tree.path()), WalkRefusal::None);
}

// Reads `name` in the folder open as `folder`, whatever the length of its full path.
std::string readAt(int folder, const char* name) {
  const int fd = openat(folder, name, O_RDONLY);
  if (fd < 0) return "(missing)";
  std::string text(16, '\0');
  text.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(fd, text.data(), text.size()))));
  close(fd);
  return text;
}

TEST_F(FolderWalkTest, TreeDeeperThanPathMaxIsWalkedToItsLeaf) {
  // 150 levels of 40-character names: paths of over 6,000 bytes, far more folders than the
  // walk keeps open; a folder "z" beside each level makes the walk come back through levels
  // whose folders it had closed.
  const std::string name(40, 'd');
  constexpr int kLevels = 150;
  auto makeFile = [](int folder, const char* file) {
    const int fd = openat(folder, file, O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "old", 3), 3);
    close(fd);
  };
  std::vector<int> levels = {open(tree.path().c_str(), O_RDONLY | O_DIRECTORY)};
  for (int i = 0; i < kLevels; ++i) {
    ASSERT_EQ(mkdirat(levels.back(), name.c_str(), 0755), 0);
    ASSERT_EQ(mkdirat(levels.back(), "z", 0755), 0);
    const int z = openat(levels.back(), "z", O_RDONLY | O_DIRECTORY);
    makeFile(z, "f.txt");
    close(z);
    levels.push_back(openat(levels.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(levels.back(), 0);
  }
  makeFile(levels.back(), "leaf.txt");

  ConvertFolderTree(tree.path(), conversion("old", "new"));
  EXPECT_TRUE(list.lines.empty()) << list.lines.front();
  EXPECT_EQ(readAt(levels.back(), "leaf.txt"), "new");
  int converted = 0;
  for (int i = 0; i < kLevels; ++i) {
    const int z = openat(levels[static_cast<std::size_t>(i)], "z", O_RDONLY | O_DIRECTORY);
    converted += readAt(z, "f.txt") == "new";
    close(z);
  }
  EXPECT_EQ(converted, kLevels);
  for (int fd : levels) close(fd);
}

TEST_F(FolderWalkTest, HiddenFoldersAreNotEnteredAndSaySo) {
  tree.write(".git/HEAD", "ref: refs/heads/main\n");
  tree.write(".git/config", "[branch \"main\"]\n");
  tree.write("src/a.txt", "main");
  const std::string dos = tree.write("dos/b.txt", "main");
  ASSERT_EQ(setxattr((tree / "dos").c_str(), "user.DOSATTRIB", "0x2", 3, 0), 0);
  ConvertFolderTree(tree.path(), conversion("main", "trunk"));
  EXPECT_EQ(readFile(tree / ".git/HEAD"), "ref: refs/heads/main\n");
  EXPECT_EQ(readFile(tree / ".git/config"), "[branch \"main\"]\n");
  EXPECT_EQ(readFile(dos), "main");
  EXPECT_EQ(readFile(tree / "src/a.txt"), "trunk");
  EXPECT_EQ(list.lines,
            (std::vector<std::string>{
                "!_ Ошибка 75 Не удалось открыть папку: папка скрытая - " + tree / ".git",
                "!_ Ошибка 75 Не удалось открыть папку: папка скрытая - " + tree / "dos"}));
  // The walked folder may be hidden itself; and the options can let the walk in.
  list.lines.clear();
  ConvertFolderTree(tree / ".git", conversion("main", "trunk"));
  EXPECT_EQ(readFile(tree / ".git/HEAD"), "ref: refs/heads/trunk\n");
  auto c = conversion("main", "trunk");
  c.options.enterHidden = true;
  ConvertFolderTree(tree.path(), c);
  EXPECT_EQ(readFile(dos), "trunk");
  EXPECT_TRUE(list.lines.empty());
}

TEST_F(FolderWalkTest, NamesCannotForgeOrColourALine) {
  const std::string binary("\x01", 1);
  tree.write("a\nОперация завершена.x", binary);
  tree.write("\x1b[31mred\t\x7f", binary);
  tree.write("c1\xc2\x9b", binary);
  tree.write("cp1251-\xc2\x9b\xff", binary);
  ConvertFolderTree(tree.path(), conversion("x", "y"));
  EXPECT_EQ(list.lines, (std::vector<std::string>{
                            "!_  Бинарный файл: " + tree / "\\x1b[31mred\\t\\x7f",
                            "!_  Бинарный файл: " + tree / "a\\nОперация завершена.x",
                            "!_  Бинарный файл: " + tree / "c1\\u009b",
                            "!_  Бинарный файл: " + tree / "cp1251-\\u009b\\xff"}));
  EXPECT_EQ(list.measures[1], tree / "a\\nОперация завершена.x");
}

TEST_F(FolderWalkTest, FolderSwappedForALinkNeverLeadsOutside) {
  // While walks run, another program keeps exchanging a subfolder with a link to a folder
  // outside the tree (renameat2 RENAME_EXCHANGE): nothing outside may ever change.
  // Every file visited is rewritten (unchanged): a file of the outside folder that a walk
  // reached would get a new inode.
  TempTree outside;
  std::vector<std::pair<std::string, ino_t>> before;
  auto inode = [](const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_ino;
  };
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    tree.write("sub/" + name, "q");
    tree.write("sub/deeper/" + name, "q");
    for (const std::string& file : {outside.write(name, "q"), outside.write("deeper/" + name, "q")}) {
      before.emplace_back(file, inode(file));
    }
  }
  ASSERT_EQ(symlink(outside.path().c_str(), (tree / "swap").c_str()), 0);
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::thread attacker([&] {
    while (!stop) {
      if (renameat2(AT_FDCWD, (tree / "sub").c_str(), AT_FDCWD, (tree / "swap").c_str(),
                    RENAME_EXCHANGE) == 0) {
        ++swaps;
      }
    }
  });
  while (swaps == 0) std::this_thread::yield();  // the exchanges have begun
  for (int round = 0; round < 30; ++round) {
    ConvertFolderTree(tree.path(), conversion("q", "q"));
  }
  stop = true;
  attacker.join();
  for (const auto& [file, was] : before) ASSERT_EQ(inode(file), was) << file << " was rewritten";
}

TEST_F(FolderWalkTest, MixedTreeEachFileInItsOwnEncoding) {
  const std::string koi8Like = "\xF0\xD2\xC9\xD7\xC5\xD4";  // not UTF-8: read as CP1251
  tree.write("cp1251.txt", m_page->encode("Привет, ПРИВЕТ!"));
  tree.write("utf8.txt", "Привет, ПРИВЕТ! ёж");
  tree.write("bom.txt", "\xEF\xBB\xBFпривет");
  tree.write("ascii.txt", "hello");
  tree.write("other.txt", koi8Like);
  tree.write("image.bin", "\x89PNG\r\n\x1A\nпривет");
  auto c = conversion("привет", "мир");
  c.options.caseSensitive = false;
  ConvertFolderTree(tree.path(), c);
  EXPECT_EQ(readFile(tree / "cp1251.txt"), m_page->encode("мир, мир!"));
  EXPECT_EQ(readFile(tree / "utf8.txt"), "мир, мир! ёж");
  EXPECT_EQ(readFile(tree / "bom.txt"), "\xEF\xBB\xBFмир");
  EXPECT_EQ(readFile(tree / "ascii.txt"), "hello");
  EXPECT_EQ(readFile(tree / "other.txt"), koi8Like);
  EXPECT_EQ(readFile(tree / "image.bin"), "\x89PNG\r\n\x1A\nпривет");
  EXPECT_EQ(reported(), std::vector<std::string>{"image.bin"});
}

TEST_F(FolderWalkTest, OtherActionsAndCounting) {
  tree.write("a.txt", "old old OLD");
  tree.write("b.txt", std::string("old\0", 4));
  tree.write("c.txt", "none");
  auto c = conversion("old", "new");
  c.options.caseSensitive = false;
  std::vector<std::string> counts;
  WalkFolderTree(
      tree.path(), c,
      [&](const FileRef& file) {
        const FileOutcome found = CountOccurrencesAt(file, c);
        counts.push_back(file.path.substr(tree.path().size() + 1) + "=" +
                         (found.kind == FileKind::Binary ? "binary"
                                                         : std::to_string(found.replacements)));
      },
      [&](const RunItem& item) { c.messages.Add(item); });
  EXPECT_EQ(counts, (std::vector<std::string>{"a.txt=3", "b.txt=binary", "c.txt=0"}));
  EXPECT_EQ(list.lines, std::vector<std::string>{}) << "the action reports its own files";
  EXPECT_EQ(readFile(tree / "a.txt"), "old old OLD") << "counting only reads";
  c.chunkSize = 2;  // occurrences across chunk boundaries still count
  EXPECT_EQ(CountOccurrences(tree / "a.txt", c).replacements, 3u);
  c.options.skipBinary = false;
  EXPECT_EQ(CountOccurrences(tree / "b.txt", c).replacements, 1u);
  EXPECT_THROW(CountOccurrences(tree / "missing", c), platform::Error);
  // The same checks before the count as before a conversion.
  for (const std::string& folder : {tree / ".", tree.path() + "/sub/.."}) {
    try {
      CountOccurrences(folder, c);
      ADD_FAILURE() << folder << " was counted";
    } catch (const platform::Error& e) {
      EXPECT_EQ(e.number(), platform::kIsFolder) << folder;
    }
  }
}

}  // namespace
}  // namespace engine
