// The walk as a run over a folder gives it: which files it converts and in what order, what it
// says of the files and folders it leaves, and the paths it does not walk at all. Each run is
// recorded as the window and tarvel-cli word its items, with the tree's paths relative.
#include "engine/run/folder_walk.h"
#include "platform/error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"
#include "words/texts.h"

namespace engine {
namespace {

using testing_support::Both;
using testing_support::readFile;
using testing_support::RunSetup;
using testing_support::TempTree;

class FolderWalkTest : public ::testing::Test {
 protected:
  FolderWalkTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  // A run over the folder `path` as given (the tree when none), through the window's work file.
  RunSetup over(const std::string& find, const std::string& replace,
                const std::optional<std::string>& path = std::nullopt) const {
    RunSetup s;
    s.targets = {RunTarget{path.value_or(tree.path()), true, std::nullopt}};
    s.options.findText = find;
    s.options.replaceText = replace;
    s.workFile = m_work;
    return s;
  }

  // The run's transcript, the tree's paths relative.
  std::string transcript(const RunSetup& s) const {
    return testing_support::Relative(testing_support::Record(s).transcript, tree.path());
  }

  TempTree m_temp;
  testing_support::ScopedEnv m_env;
  TempTree tree;
  std::string m_work = ChooseWorkFile();
};

// `n` lines of files converted, of which neither face says anything.
std::string converted(std::size_t n) {
  std::string lines;
  for (std::size_t i = 0; i < n; ++i) lines += " | \n";
  return lines;
}

TEST(FileExtensionTest, TheTextAfterTheLastDot) {
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

// The window's field: one extension as above (but a "*" before the dot goes), several by
// spaces, commas or semicolons.
TEST(NormalizeExtensionTest, TheFieldMayHoldSeveral) {
  const struct {
    const char* typed;
    std::vector<std::string> extensions;
    const char* shown;
  } cases[] = {
      {"txt", {".txt"}, ".txt"},
      {"  .tar.gz ", {".tar.gz"}, ".tar.gz"},
      {"*.txt", {".txt"}, ".txt"},
      {"html htm", {".html", ".htm"}, ".html .htm"},
      {"*.html;*.htm", {".html", ".htm"}, ".html .htm"},
      {".cpp, .h", {".cpp", ".h"}, ".cpp .h"},
      {"TXT;txt;TXT", {".TXT", ".txt"}, ".TXT .txt"},
      {" , ;; ", {}, ""},
      {"", {}, ""},
      {"*", {".*"}, ".*"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtensionList(c.typed), c.extensions) << c.typed;
    EXPECT_EQ(NormalizeExtensions(c.typed), c.shown) << c.typed;
    EXPECT_EQ(ExtensionList(c.shown), c.extensions) << "shown again: " << c.shown;
  }
}

TEST(WarningTextTest, TheConfirmationsToTheCharacter) {
  EXPECT_EQ(words::FileWarning("/d/a.txt", "x", "y"),
            "Внимание! В файле \"/d/a.txt\" все сочетания символов \"x\" будут заменены на "
            "\"y\".\r\nПерезаписать файл ?");
  EXPECT_EQ(words::FolderWarning("/d", "a\r\nb", ""),
            "Внимание! Во всех файлах, находящихся в папке \"/d\" и её вложенных подпапках, все "
            "сочетания символов \"a\r\nb\" будут заменены на \"\".\r\nПерезаписать все файлы ?");
}

TEST_F(FolderWalkTest, FilesBeforeSubfoldersDepthFirstInNameOrder) {
  // Binary files say so, so that the transcript shows the order of the walk.
  const std::string binary("\x01", 1);
  for (const char* name : {"b", "a", "Y/d", "X/c", "X/Z/e", "X/Z/W/f", "X/g"}) {
    tree.write(name, binary);
  }
  std::string expected;
  for (const char* name : {"a", "b", "X/c", "X/g", "X/Z/e", "X/Z/W/f", "Y/d"}) {
    expected += Both(std::string("!_  Бинарный файл: ") + name) + "\n";
  }
  expected += "Файлов: 7, изменено: 0, замен: 0, без изменений: 0, пропущено: 7, ошибок: 0\n";
  for (const unsigned workers : {1u, 3u}) {
    RunSetup s = over("x", "y");
    s.workers = workers;
    EXPECT_EQ(transcript(s), expected) << workers << " workers";
  }
}

TEST_F(FolderWalkTest, ExtensionFilterIsExactAndCaseSensitive) {
  const std::vector<std::string> names = {"notes.txt", "NOTES.TXT", "notes.txt.bak", "a.tar.gz",
                                          "archive.", "noext", "sub/deep.txt"};
  struct Case {
    const char* extension;
    std::vector<std::string> converted;
  };
  const std::vector<Case> cases = {
      {".txt", {"notes.txt", "sub/deep.txt"}},
      {".gz", {"a.tar.gz"}},
      {".", {}},
      {".*.txt", {}},
      {"", names},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string("extension \"") + k.extension + "\"");
    for (const auto& n : names) tree.write(n, "old");
    RunSetup s = over("old", "new");
    s.options.extension = k.extension;
    const std::string n = std::to_string(k.converted.size());
    EXPECT_EQ(transcript(s), converted(k.converted.size()) + "Файлов: " + n + ", изменено: " + n +
                                 ", замен: " + n +
                                 ", без изменений: 0, пропущено: 0, ошибок: 0\n");
    std::vector<std::string> changed;
    for (const auto& name : names) {
      if (readFile(tree / name) == "new") changed.push_back(name);
    }
    EXPECT_EQ(changed, k.converted);
  }
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
  auto refused = [](const std::string& why, const std::string& name) {
    return "!_ Ошибка 75 Не удалось заменить файл: " + why + " - " + name + " | !_  пропущен: " +
           why + " - " + name + "\n";
  };
  for (const unsigned workers : {1u, 3u}) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    for (const char* name : {"1.txt", "3.txt", "sub/z.txt"}) tree.write(name, "old");
    RunSetup s = over("old", "new");
    s.workers = workers;
    EXPECT_EQ(transcript(s), refused("файл скрытый", ".hidden") + converted(1) +
                                 refused("файл только для чтения", "2-ro.txt") + converted(1) +
                                 refused("файл системный", "sub/sys.txt") + converted(1) +
                                 "Файлов: 6, изменено: 3, замен: 3, без изменений: 0, "
                                 "пропущено: 3, ошибок: 0\n");
    EXPECT_EQ(readFile(ro), "old");
    EXPECT_EQ(readFile(tree / ".hidden"), "old");
    EXPECT_EQ(readFile(sys), "old");
    for (const char* name : {"1.txt", "3.txt", "sub/z.txt"}) EXPECT_EQ(readFile(tree / name), "new");
  }
}

TEST_F(FolderWalkTest, LinksAreNeverFollowed) {
  tree.write("X/file.txt", "a");
  ASSERT_EQ(symlink("..", (tree / "X/loop").c_str()), 0);            // back to the top
  ASSERT_EQ(symlink("file.txt", (tree / "X/alias.txt").c_str()), 0);  // to a file
  // Doubling shows a file converted twice.
  const std::string t = transcript(over("a", "aa"));
  EXPECT_EQ(readFile(tree / "X/file.txt"), "aa");
  const std::string why = "это ссылка";
  auto refused = [&](const std::string& name) {
    return "!_ Ошибка 75 Не удалось открыть файл: " + why + " - " + name + " | !_  пропущен: " +
           why + " - " + name + "\n";
  };
  EXPECT_EQ(t, refused("X/alias.txt") + converted(1) + refused("X/loop") +
                   "Файлов: 1, изменено: 1, замен: 1, без изменений: 0, пропущено: 0, ошибок: 0, "
                   "ссылок пропущено: 2\n");
  struct stat st {};
  ASSERT_EQ(lstat((tree / "X/alias.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(FolderWalkTest, PathRules) {
  const std::string nothing =
      "Файлов: 0, изменено: 0, замен: 0, без изменений: 0, пропущено: 0, ошибок: 0\n";
  tree.write("a.txt", "old");
  // A trailing "/" makes no difference.
  EXPECT_EQ(transcript(over("old", "new", tree.path() + "/")),
            converted(1) + "Файлов: 1, изменено: 1, замен: 1, без изменений: 0, пропущено: 0, "
                           "ошибок: 0\n");
  EXPECT_EQ(readFile(tree / "a.txt"), "new");
  // The path is used as given: with spaces around it, it names nothing here. A file instead of
  // a folder, or nothing at all: nothing happens, and nothing is said.
  for (const std::string& path : {"  " + tree.path() + "  ", tree / "a.txt", tree / "missing"}) {
    EXPECT_EQ(transcript(over("new", "newer", path)), nothing) << path;
  }
  EXPECT_EQ(readFile(tree / "a.txt"), "new");
  // The root in any spelling, the kernel's file systems and paths without "/" are not walked.
  // The filter matches nothing, so even a walk that wrongly started would change no file; the
  // run's waits show whether it started.
  ASSERT_EQ(symlink("/", (tree / "root-link").c_str()), 0);
  const std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(tree.path().c_str()), 0);
  for (const std::string& path : {std::string("/"), std::string("/."), std::string("//"),
                                  std::string("/tmp/.."), tree / "root-link", std::string("/proc"),
                                  std::string("/sys/"), std::string("a.txt"), std::string("."),
                                  std::string()}) {
    RunSetup s = over("x", "y", path);
    s.options.extension = ".no-such-extension";
    int waits = 0;
    s.onWaiting = [&] { ++waits; };
    EXPECT_EQ(transcript(s), nothing) << path;
    EXPECT_EQ(waits, 0) << path;
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
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

  EXPECT_EQ(transcript(over("old", "new")),
            converted(kLevels + 1) + "Файлов: 151, изменено: 151, замен: 151, без изменений: 0, "
                                     "пропущено: 0, ошибок: 0\n");
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
  const std::string hidden = "!_ Ошибка 75 Не удалось открыть папку: папка скрытая - ";
  EXPECT_EQ(transcript(over("main", "trunk")),
            hidden + ".git | !_  пропущен: папка скрытая - .git\n" + hidden +
                "dos | !_  пропущен: папка скрытая - dos\n" + converted(1) +
                "Файлов: 1, изменено: 1, замен: 1, без изменений: 0, пропущено: 0, ошибок: 0, "
                "папок не обойдено: 2\n");
  EXPECT_EQ(readFile(tree / ".git/HEAD"), "ref: refs/heads/main\n");
  EXPECT_EQ(readFile(tree / ".git/config"), "[branch \"main\"]\n");
  EXPECT_EQ(readFile(dos), "main");
  EXPECT_EQ(readFile(tree / "src/a.txt"), "trunk");
  // The walked folder may be hidden itself; and the options can let the walk in.
  transcript(over("main", "trunk", tree / ".git"));
  EXPECT_EQ(readFile(tree / ".git/HEAD"), "ref: refs/heads/trunk\n");
  // --hidden takes hidden folders and files, but never git's own: its folder, nor the file
  // that stands for it in a linked work tree.
  tree.write(".env", "main");
  tree.write(".git/description", "main\n");
  tree.write("wt/.git", "gitdir: main\n");
  RunSetup s = over("main", "trunk");
  s.options.hidden = true;
  EXPECT_EQ(transcript(s), converted(3) +
                               "Файлов: 3, изменено: 2, замен: 2, без изменений: 1, "
                               "пропущено: 0, ошибок: 0\n");
  EXPECT_EQ(readFile(dos), "trunk");
  EXPECT_EQ(readFile(tree / ".env"), "trunk");
  EXPECT_EQ(readFile(tree / ".git/description"), "main\n");
  EXPECT_EQ(readFile(tree / "wt/.git"), "gitdir: main\n");
}

TEST_F(FolderWalkTest, NamesCannotForgeOrColourALine) {
  const std::string binary("\x01", 1);
  tree.write("a\nОперация завершена.x", binary);
  tree.write("\x1b[31mred\t\x7f", binary);
  tree.write("c1\xc2\x9b", binary);
  tree.write("cp1251-\xc2\x9b\xff", binary);
  std::string expected;
  for (const char* shown : {"\\x1b[31mred\\t\\x7f", "a\\nОперация завершена.x", "c1\\u009b",
                            "cp1251-\\u009b\\xff"}) {
    expected += Both(std::string("!_  Бинарный файл: ") + shown) + "\n";
  }
  EXPECT_EQ(transcript(over("x", "y")),
            expected + "Файлов: 4, изменено: 0, замен: 0, без изменений: 0, пропущено: 4, ошибок: 0\n");
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
    RunSetup s = over("q", "q");
    s.workers = 1 + round % 3;
    testing_support::Record(s);
  }
  stop = true;
  attacker.join();
  for (const auto& [file, was] : before) ASSERT_EQ(inode(file), was) << file << " was rewritten";
}

TEST_F(FolderWalkTest, MixedTreeEachFileInItsOwnEncoding) {
  const std::optional<platform::CodePage> page = platform::CodePage::byName("CP1251");
  const std::string koi8Like = "\xF0\xD2\xC9\xD7\xC5\xD4";  // not UTF-8: read as CP1251
  tree.write("cp1251.txt", page->encode("Привет, ПРИВЕТ!"));
  tree.write("utf8.txt", "Привет, ПРИВЕТ! ёж");
  tree.write("bom.txt", "\xEF\xBB\xBFпривет");
  tree.write("ascii.txt", "hello");
  tree.write("other.txt", koi8Like);
  tree.write("image.bin", "\x89PNG\r\n\x1A\nпривет");
  RunSetup s = over("привет", "мир");
  s.options.caseSensitive = false;
  // The preview says how each file is read; the run then converts each so.
  RunSetup preview = s;
  preview.action = &CountFiles();
  EXPECT_EQ(transcript(preview),
            converted(1) + Both("Замен: 1 (UTF-8) - bom.txt") + "\n" +
                Both("Замен: 2 (CP1251) - cp1251.txt") + "\n" +
                Both("!_  Бинарный файл: image.bin") + "\n" + converted(1) +
                Both("Замен: 2 (UTF-8) - utf8.txt") + "\n" +
                "Файлов: 6, будет изменено: 3, замен будет: 5, без изменений: 2, пропущено: 1, "
                "ошибок: 0\n");
  EXPECT_EQ(transcript(s), converted(3) + Both("!_  Бинарный файл: image.bin") + "\n" +
                               converted(2) +
                               "Файлов: 6, изменено: 3, замен: 5, без изменений: 2, пропущено: 1, "
                               "ошибок: 0\n");
  EXPECT_EQ(readFile(tree / "cp1251.txt"), page->encode("мир, мир!"));
  EXPECT_EQ(readFile(tree / "utf8.txt"), "мир, мир! ёж");
  EXPECT_EQ(readFile(tree / "bom.txt"), "\xEF\xBB\xBFмир");
  EXPECT_EQ(readFile(tree / "ascii.txt"), "hello");
  EXPECT_EQ(readFile(tree / "other.txt"), koi8Like);
  EXPECT_EQ(readFile(tree / "image.bin"), "\x89PNG\r\n\x1A\nпривет");
}

// A count only reads; a file named on its own is counted as the walk counts it, after the same
// checks as a conversion.
TEST_F(FolderWalkTest, CountingReadsOnly) {
  tree.write("a.txt", "old old OLD");
  tree.write("b.txt", std::string("old\0", 4));
  tree.write("c.txt", "none");
  RunSetup s = over("old", "new");
  s.options.caseSensitive = false;
  s.action = &CountFiles();
  EXPECT_EQ(transcript(s), Both("Замен: 3 (CP1251) - a.txt") + "\n" +
                               Both("!_  Бинарный файл: b.txt") + "\n" + converted(1) +
                               "Файлов: 3, будет изменено: 1, замен будет: 3, без изменений: 1, "
                               "пропущено: 1, ошибок: 0\n");
  EXPECT_EQ(readFile(tree / "a.txt"), "old old OLD");
  struct Case {
    std::string path;
    std::size_t chunk;
    bool skipBinary;
    std::string verdict;  // the item's line, window | tarvel-cli
  };
  const std::string isFolder = "Error 76 Не удалось открыть файл: это папка, а не файл";
  const std::vector<Case> cases = {
      // Occurrences across chunk boundaries still count.
      {"a.txt", 2, true, Both("Замен: 3 (CP1251) - a.txt")},
      {"b.txt", ChunkSize, false, Both("Замен: 1 (CP1251) - b.txt")},
      {"missing", ChunkSize, true,
       "!_ Ошибка 53 Не удалось открыть файл: файл или папка не найдены - missing | Error 53 "
       "Не удалось открыть файл: файл или папка не найдены"},
      {".", ChunkSize, true, "!_ Ошибка 76 Не удалось открыть файл: это папка, а не файл - . | " + isFolder},
      {"sub/..", ChunkSize, true,
       "!_ Ошибка 76 Не удалось открыть файл: это папка, а не файл - sub/.. | " + isFolder},
  };
  tree.mkdir("sub");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.path);
    RunSetup one = s;
    one.targets = {testing_support::FileTarget(tree / k.path)};
    one.chunkSize = k.chunk;
    one.options.skipBinary = k.skipBinary;
    const std::string t = transcript(one);
    EXPECT_EQ(t.substr(0, t.find('\n')), k.verdict);
  }
}

}  // namespace
}  // namespace engine
