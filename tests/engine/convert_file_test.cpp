#include "engine/file/convert_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/run/folder_walk.h"
#include "engine/text/binary_test.h"
#include "engine/undo/undo.h"
#include "platform/error.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::exists;
using testing_support::listFolder;
using testing_support::readFile;
using testing_support::RecordingList;
using testing_support::TempTree;

class ConvertFileTest : public ::testing::Test {
 protected:
  ConvertFileTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  Conversion conversion(const std::string& find, const std::string& repl) {
    Conversion c{.options = {}, .messages = list, .codePage = *m_page,
                 .workFile = ChooseWorkFile(), .pump = {}};
    c.options.findText = find;
    c.options.replaceText = repl;
    return c;
  }

  // Runs ConvertFile and returns the failure's number, or 0 when it succeeded.
  int failureOf(const std::string& path, const Conversion& c, std::string* description = nullptr) {
    try {
      ConvertFile(path, c);
      return 0;
    } catch (const platform::Error& e) {
      if (description) *description = e.description();
      return e.number();
    }
  }

  TempTree m_temp;  // the temporary folder of the run
  testing_support::ScopedEnv m_env;
  TempTree tree;  // the user's files
  RecordingList list;
  std::optional<platform::CodePage> m_page = platform::CodePage::byName("CP1251");
};

TEST_F(ConvertFileTest, RewritesThroughTheWorkFileAndLeavesNothingBehind) {
  const std::string path = tree.write("page.html", "<b>old</b> and old again\r\n");
  auto c = conversion("old", "new");
  EXPECT_EQ(c.workFile, m_temp.path() + "/k5ywhqx");
  EXPECT_TRUE(ConvertFile(path, c));
  EXPECT_EQ(readFile(path), "<b>new</b> and new again\r\n");
  EXPECT_FALSE(exists(c.workFile));
  EXPECT_EQ(listFolder(tree.path()), std::vector<std::string>{"page.html"});
  EXPECT_TRUE(list.lines.empty());
}

TEST_F(ConvertFileTest, ChunkBoundariesDoNotHideOccurrences) {
  // 70,000 bytes whose only occurrence of a four-character text straddles the first boundary.
  std::string text(70000, '.');
  text.replace(ChunkSize - 2, 4, "FIND");
  const std::string path = tree.write("straddle.txt", text);
  EXPECT_TRUE(ConvertFile(path, conversion("FIND", "R")));
  std::string expected = text;
  expected.replace(ChunkSize - 2, 4, "R");
  EXPECT_EQ(readFile(path), expected);
}

TEST_F(ConvertFileTest, EmptyAndExactChunkSizedFiles) {
  const std::string empty = tree.write("empty.txt", "");
  const ino_t before = [&] { struct stat st; stat(empty.c_str(), &st); return st.st_ino; }();
  EXPECT_TRUE(ConvertFile(empty, conversion("a", "b")));
  struct stat st {};
  ASSERT_EQ(stat(empty.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_NE(st.st_ino, before) << "an empty file is still rewritten";

  std::string full(ChunkSize, 'a');
  const std::string exact = tree.write("exact.txt", full);
  EXPECT_TRUE(ConvertFile(exact, conversion("a", "bb")));
  EXPECT_EQ(readFile(exact), std::string(2 * ChunkSize, 'b'));
}

TEST_F(ConvertFileTest, EmptyFindTextRewritesByteForByte) {
  std::string bytes;
  for (int i = 0; i < 3 * 256; ++i) bytes += static_cast<char>(i % 256);
  const std::string path = tree.write("all.bin", bytes);
  auto c = conversion("", "x");
  c.options.skipBinary = false;
  EXPECT_TRUE(ConvertFile(path, c));
  EXPECT_EQ(readFile(path), bytes);
}

TEST_F(ConvertFileTest, CaseInsensitiveUsesTheCodePage) {
  // "Привет, ПРИВЕТ, привет; Hello HELLO" in CP1251.
  const std::string text =
      "\xCF\xF0\xE8\xE2\xE5\xF2, \xCF\xD0\xC8\xC2\xC5\xD2, \xEF\xF0\xE8\xE2\xE5\xF2; Hello HELLO";
  const std::string path = tree.write("ru.txt", text);
  auto c = conversion("привет", "*");
  c.options.caseSensitive = false;
  EXPECT_TRUE(ConvertFile(path, c));
  EXPECT_EQ(readFile(path), "*, *, *; Hello HELLO");
  auto latin = conversion("hello", "bye");
  EXPECT_TRUE(ConvertFile(path, latin));
  EXPECT_EQ(readFile(path), "*, *, *; Hello HELLO") << "case-sensitive by default";
  latin.options.caseSensitive = false;
  EXPECT_TRUE(ConvertFile(path, latin));
  EXPECT_EQ(readFile(path), "*, *, *; bye bye");
}

TEST_F(ConvertFileTest, EachFileIsReadInItsOwnEncoding) {
  const std::string cp1251 = "\xC5\xF9\xB8 \xEE\xE4\xE8\xED: \xE8 \xB8\xE6";  // Ещё один: и ёж
  const std::string past(70000, 'a');  // past the first chunk
  const std::string split(ChunkSize - 1, 'a');  // the next character straddles the boundary
  struct Case {
    const char* name;
    std::string before;
    std::string find, replace;
    bool caseSensitive;
    bool asciiAsUtf8;
    FileKind kind;
    std::string after;  // empty: the conversion fails with error 5 and the file stays
  };
  const std::vector<Case> cases = {
      {"UTF-8: и keeps its bytes", "Ещё один пример: и ёжик, и Шишкин.", "ё", "е", true, false,
       FileKind::Utf8, "Еще один пример: и ежик, и Шишкин."},
      {"UTF-8 ignoring case", "Ёж и ёжик", "ё", "е", false, false, FileKind::Utf8, "еж и ежик"},
      {"code page", cp1251, "ё", "е", true, false, FileKind::CodePage,
       "\xC5\xF9\xE5 \xEE\xE4\xE8\xED: \xE8 \xE5\xE6"},
      {"byte-order mark stays", "\xEF\xBB\xBFПривет", "привет", "мир", false, false,
       FileKind::Utf8, "\xEF\xBB\xBFмир"},
      {"first non-ASCII byte past the first chunk", past + "ё", "ё", "е", true, false,
       FileKind::Utf8, past + "е"},
      {"first invalid byte past the first chunk", "ё" + past + "\xFF", "ё", "е", true, false,
       FileKind::CodePage, "ё" + past + "\xFF"},
      {"character split by the chunk boundary", split + "ёx", "ёx", "е!", true, false,
       FileKind::Utf8, split + "е!"},
      {"plain ASCII in the code page", "abc", "b", "ё", true, false, FileKind::CodePage,
       "a\xB8" "c"},
      {"plain ASCII in a UTF-8 locale", "abc", "b", "ё", true, true, FileKind::Utf8, "aёc"},
      {"find text the code page cannot hold", cp1251, "中", "x", true, false, FileKind::CodePage,
       cp1251},
      {"replacement the code page cannot hold", cp1251, "ж", "中", true, false,
       FileKind::CodePage, ""},
      {"byte-order mark on text that is not UTF-8", "\xEF\xBB\xBF\xE8", "x", "y", true, false,
       FileKind::Utf8, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string path = tree.write("f.txt", k.before);
    auto c = conversion(k.find, k.replace);
    c.options.caseSensitive = k.caseSensitive;
    c.options.asciiAsUtf8 = k.asciiAsUtf8;
    FileOutcome outcome;
    std::string why;
    if (k.after.empty()) {
      EXPECT_EQ(failureOf(path, c, &why), platform::kBadCharacter);
      EXPECT_EQ(readFile(path), k.before);
      continue;
    }
    EXPECT_TRUE(ConvertFile(path, c, &outcome));
    EXPECT_EQ(outcome.kind, k.kind);
    EXPECT_EQ(readFile(path), k.after);
  }
}

// A file almost wholly in UTF-8 with a few bytes that are not (a letter pasted in Latin-1, a
// character cut off at the end) is neither UTF-8 nor single-byte text: it is refused unless
// the encoding is named. Real single-byte Russian text, whose letters now and then form a
// valid UTF-8 pair, is never refused. Small chunks make the file be weighed from its start
// after its first piece.
TEST_F(ConvertFileTest, AlmostUtf8IsRefusedNotGuessed) {
  std::string russian;
  while (russian.size() < 3000) russian += "Съешь же ещё этих мягких французских булок, да выпей чаю.\n";
  const std::string latin1 = russian.substr(0, 1500) + "Caf\xE9\n" + russian.substr(1500);
  const std::string cut = russian.substr(0, russian.size() - 3);  // inside the last "ю"
  // Single-byte texts with valid UTF-8 pairs in them: CP1251 "ВСЁ" (D1 A8), KOI8-R "её всё"
  // (C5 A3, D3 A3), and a CP1251 sentence with «», — and №.
  const std::string cp1251 = "\xC2\xD1\xA8 \xAB\xEF\xF0\xE8\xE2\xE5\xF2\xBB \x97 \xB9 5";
  const std::string koi8 = "\xC5\xA3 \xD7\xD3\xA3";
  struct Case {
    const char* name;
    std::string text;
    Encoding encoding;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"a Latin-1 letter in UTF-8", latin1, Encoding::Auto, true},
      {"... read as UTF-8 by request", latin1, Encoding::Utf8, true},
      {"... single-byte by request", latin1, Encoding::CodePage, false},
      {"UTF-8 cut inside its last character", cut, Encoding::Auto, true},
      {"a short line with a stray byte", "Меню: Caf\xE9", Encoding::Auto, true},
      {"the last sequence in the bytes held back", "\xC3\xA9 \xC3\xA9\xFF \xC3\xA9 ", Encoding::Auto,
       true},
      {"CP1251 text", cp1251, Encoding::Auto, false},
      {"KOI8-R text", koi8, Encoding::Auto, false},
      {"valid UTF-8", russian, Encoding::Auto, false},
  };
  for (std::size_t chunk : {std::size_t{5}, ChunkSize}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(k.name) + ", chunks of " + std::to_string(chunk));
      const std::string path = tree.write("f.txt", k.text);
      auto c = conversion("a", "b");
      c.chunkSize = chunk;
      c.options.encoding = k.encoding;
      std::string why;
      const int failure = failureOf(path, c, &why);
      if (!k.refused) {
        EXPECT_EQ(failure, 0) << why;
        continue;
      }
      EXPECT_EQ(failure, platform::kBadCharacter);
      if (k.encoding == Encoding::Auto) {
        EXPECT_NE(why.find("он почти целиком в UTF-8, но байт в позиции"), std::string::npos) << why;
      }
      EXPECT_EQ(readFile(path), k.text) << "a refused file stays as it was";
    }
  }
}

TEST_F(ConvertFileTest, BinaryFileIsSkippedWithOneLine) {
  std::string text(ChunkSize + 10, 'x');
  text[ChunkSize + 3] = '\0';  // the only control byte, in the second chunk
  const std::string path = tree.write("image.dat", text);
  auto c = conversion("x", "y");
  EXPECT_FALSE(ConvertFile(path, c));
  EXPECT_EQ(readFile(path), text);
  ASSERT_EQ(list.lines.size(), 1u);
  EXPECT_EQ(list.lines[0], "!_  Бинарный файл: " + path);
  EXPECT_EQ(list.measures[0], path);
  EXPECT_FALSE(exists(c.workFile)) << "a skipped file never touches the work file";

  c.options.skipBinary = false;
  EXPECT_TRUE(ConvertFile(path, c));
  EXPECT_EQ(readFile(path).substr(0, 3), "yyy");
}

TEST(BinaryTest, ControlSetAndUnreadableFiles) {
  TempTree tree;
  EXPECT_FALSE(IsBinaryFile(tree.write("empty", "")));
  EXPECT_FALSE(IsBinaryFile(tree.write("text", "a\tb\r\nc\n\x80\xFF\x7F")));
  EXPECT_FALSE(IsBinaryFile(tree.write("ff", "page\fbreak"))) << "a form feed is text";
  EXPECT_FALSE(IsBinaryFile(tree.write("vt", "v\vt")));
  EXPECT_TRUE(IsBinaryFile(tree.write("esc", std::string(200, 'a') + "\x1B")));
  EXPECT_TRUE(IsBinaryFile(tree / "esc", {}, 0)) << "a chunk size of 0 takes the default";
  EXPECT_FALSE(IsBinaryFile(tree / "missing"));
  EXPECT_FALSE(IsBinaryFile(tree.path())) << "a folder";
  // Each control byte alone at each offset of a 64-byte block is found.
  for (int b = 0; b < 256; ++b) {
    const bool control = b < 9 || (b > 13 && b < 32);
    for (std::size_t at : {0u, 15u, 16u, 63u, 64u, 130u}) {
      std::string s(131, 'a');
      s[at] = static_cast<char>(b);
      ASSERT_EQ(HasControlByte(s.data(), s.size()), control) << b << " at " << at;
    }
  }
}

TEST_F(ConvertFileTest, WorkFileNameSkipsTakenNamesButNotFolders) {
  testing_support::writeFile(m_temp / "k5ywhqx", "someone's");
  EXPECT_EQ(ChooseWorkFile(), m_temp / "k5ywhqx0");
  testing_support::writeFile(m_temp / "k5ywhqx0", "");
  EXPECT_EQ(ChooseWorkFile(), m_temp / "k5ywhqx1");
  ASSERT_EQ(symlink("/nonexistent", (m_temp / "k5ywhqx1").c_str()), 0);
  EXPECT_EQ(ChooseWorkFile(), m_temp / "k5ywhqx2") << "a dangling link is a taken name";
  m_temp.mkdir("k5ywhqx2");
  EXPECT_EQ(ChooseWorkFile(), m_temp / "k5ywhqx2") << "a folder does not count";

  // A folder at the work file's name: every conversion fails, the source stays.
  const std::string path = tree.write("a.txt", "abc");
  auto c = conversion("a", "b");
  EXPECT_EQ(c.workFile, m_temp / "k5ywhqx2");
  EXPECT_EQ(failureOf(path, c), platform::kIsFolder);
  EXPECT_EQ(readFile(path), "abc");
  EXPECT_EQ(readFile(m_temp / "k5ywhqx"), "someone's");
}

TEST(WorkFileTest, TemporaryFolderFromTmpdir) {
  // /tmp is shared: the work file goes into a folder of the user's own there.
  const std::string own = "/tmp/tarvel-" + std::to_string(geteuid()) + "/k5ywhqx";
  {
    testing_support::ScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(ChooseWorkFile().rfind(own, 0), 0u);
  }
  {
    testing_support::ScopedEnv env("TMPDIR", "");
    EXPECT_EQ(ChooseWorkFile().rfind(own, 0), 0u);
  }
  TempTree t;
  testing_support::ScopedEnv env("TMPDIR", (t.path() + "//").c_str());
  EXPECT_EQ(ChooseWorkFile(), t.path() + "/k5ywhqx");
}

TEST_F(ConvertFileTest, ProtectedFilesFailAtTheReplaceStepAndKeepTheirContents) {
  const std::string readOnly = tree.write("ro.txt", "old");
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  const std::string hidden = tree.write(".htaccess", "old");
  const std::string dosHidden = tree.write("dos.txt", "old");
  ASSERT_EQ(setxattr(dosHidden.c_str(), "user.DOSATTRIB", "0x22", 4, 0), 0);
  const std::string dosSystem = tree.write("sys.txt", "old");
  ASSERT_EQ(setxattr(dosSystem.c_str(), "user.DOSATTRIB", "0x4", 3, 0), 0);
  for (const auto& path : {readOnly, hidden, dosHidden, dosSystem}) {
    auto c = conversion("old", "new");
    std::string why;
    EXPECT_EQ(failureOf(path, c, &why), platform::kRefusedAttribute) << path;
    EXPECT_EQ(why.rfind("Не удалось заменить файл: ", 0), 0u) << why;
    EXPECT_EQ(readFile(path), "old") << path;
    EXPECT_FALSE(testing_support::exists(c.workFile)) << "nothing of it is written anywhere";
  }
  // The immutable flag also makes a file read-only, even for root.
  const std::string frozen = tree.write("frozen.txt", "old");
  if (testing_support::run("chattr +i '" + frozen + "'") != 0) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  EXPECT_EQ(failureOf(frozen, conversion("old", "new")), platform::kRefusedAttribute);
  EXPECT_EQ(readFile(frozen), "old");
}

TEST_F(ConvertFileTest, KeepsPermissionsOwnerAndExtendedAttributes) {
  const std::string script = tree.write("run.sh", "#!/bin/sh\necho old\n");
  ASSERT_EQ(chmod(script.c_str(), 0750), 0);
  ASSERT_EQ(setxattr(script.c_str(), "user.note", "kept", 4, 0), 0);
  ASSERT_EQ(setxattr(script.c_str(), "user.DOSATTRIB", "0x20", 4, 0), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(script.c_str(), 1234, 5678), 0);
  }
  EXPECT_TRUE(ConvertFile(script, conversion("old", "new")));
  struct stat st {};
  ASSERT_EQ(stat(script.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  if (geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  char value[16] = {};
  ASSERT_EQ(getxattr(script.c_str(), "user.note", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
  EXPECT_EQ(readFile(script), "#!/bin/sh\necho new\n");
}

TEST_F(ConvertFileTest, LinksPipesAndFoldersAreRefusedBeforeTheyAreOpened) {
  const std::string target = tree.write("target.txt", "old");
  const std::string link = tree / "link.txt";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  auto c = conversion("old", "new");
  EXPECT_EQ(failureOf(link, c), platform::kRefusedAttribute);
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is not replaced by a copy";
  EXPECT_EQ(readFile(target), "old");

  // A FIFO with no writer would block a plain open or read forever.
  const std::string fifo = tree / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(IsBinaryFile(fifo));
  c.options.skipBinary = false;
  EXPECT_EQ(failureOf(fifo, c), platform::kRefusedAttribute);
  EXPECT_EQ(failureOf(tree.path(), c), platform::kIsFolder);
  EXPECT_EQ(failureOf(tree / "missing.txt", c), platform::kNotFound);
}

TEST_F(ConvertFileTest, WorkFileLinkOrForeignFileIsRefused) {
  const std::string path = tree.write("a.txt", "old");
  const std::string victim = tree.write("victim.txt", "precious");
  auto c = conversion("old", "new");
  ASSERT_EQ(symlink(victim.c_str(), c.workFile.c_str()), 0);  // planted after the name was chosen
  std::string why;
  EXPECT_NE(failureOf(path, c, &why), 0);
  EXPECT_EQ(readFile(victim), "precious");
  EXPECT_EQ(readFile(path), "old");
  ASSERT_EQ(unlink(c.workFile.c_str()), 0);

  if (geteuid() == 0) {
    testing_support::writeFile(c.workFile, "someone else's");
    ASSERT_EQ(chown(c.workFile.c_str(), 4321, 4321), 0);
    EXPECT_EQ(failureOf(path, c), platform::kAccessRefused);
    EXPECT_EQ(readFile(c.workFile), "someone else's") << "not truncated";
    EXPECT_EQ(readFile(path), "old");
  }
}

TEST_F(ConvertFileTest, FilesOfTwoGigabytesFailBeforeAnythingChanges) {
  const std::string path = tree / "huge.txt";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 2147483648LL), 0);  // sparse: takes no space
  close(fd);
  auto c = conversion("a", "b");
  c.options.skipBinary = false;
  EXPECT_EQ(failureOf(path, c), platform::kOverflow);
  EXPECT_FALSE(exists(c.workFile));
}

TEST_F(ConvertFileTest, DeleteWorkFileRemovesOnlyOurRegularFile) {
  auto c = conversion("x", "y");
  testing_support::writeFile(c.workFile, "left over");
  DeleteWorkFile(c.workFile);
  EXPECT_FALSE(exists(c.workFile));
  const std::string victim = tree.write("victim", "keep");
  ASSERT_EQ(symlink(victim.c_str(), c.workFile.c_str()), 0);
  DeleteWorkFile(c.workFile);
  EXPECT_TRUE(exists(c.workFile));
  EXPECT_EQ(readFile(victim), "keep");
  DeleteWorkFile(tree / "nothing-here");  // reports nothing
}

TEST_F(ConvertFileTest, AnotherTarvelsWorkFileIsWaitedForAndNeverDeleted) {
  // Another copy of the program holds the work file (same name: both chose it at start).
  auto c = conversion("old", "new");
  const int other = open(c.workFile.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(other, 0);
  ASSERT_EQ(write(other, "its text", 8), 8);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  DeleteWorkFile(c.workFile);
  EXPECT_EQ(readFile(c.workFile), "its text") << "a work file in use stays";

  // The conversion waits, letting the window repaint, until the other one has renamed its
  // work file away; it never writes into the other's file.
  const std::string path = tree.write("mine.txt", "old");
  const std::string theirs = tree / "theirs.txt";
  int pumpsWhileWaiting = 0;
  c.pump = [&] {
    if (++pumpsWhileWaiting == 5) {
      ASSERT_EQ(rename(c.workFile.c_str(), theirs.c_str()), 0);
      close(other);
    }
  };
  EXPECT_TRUE(ConvertFile(path, c));
  EXPECT_GE(pumpsWhileWaiting, 5);
  EXPECT_EQ(readFile(theirs), "its text");
  EXPECT_EQ(readFile(path), "new");
}

TEST_F(ConvertFileTest, ProgramsRunningAtOnceShareTheWorkFileSafely) {
  // Four conversions at once through one work-file name, each of a file large enough to take
  // many chunks: every file must end as its own converted text.
  std::vector<std::string> paths;
  for (int i = 0; i < 4; ++i) {
    std::string text;
    while (text.size() < 3'000'000) text += "line " + std::to_string(i) + " old text\n";
    paths.push_back(tree.write("f" + std::to_string(i) + ".txt", text));
  }
  const std::string work = ChooseWorkFile();
  std::string command;
  for (const auto& p : paths) {
    command += std::string(TARVEL_CONVERT_PROBE) + " '" + work + "' old new '" + p + "' & ";
  }
  command += "wait";
  std::string output;
  ASSERT_EQ(testing_support::run(command, &output), 0) << output;
  EXPECT_EQ(output, "rewritten\nrewritten\nrewritten\nrewritten\n");
  for (int i = 0; i < 4; ++i) {
    std::string expected;
    while (expected.size() < 3'000'000) expected += "line " + std::to_string(i) + " new text\n";
    // The source had the same number of lines; "old" and "new" have the same length.
    EXPECT_TRUE(readFile(paths[i]) == expected) << "file " << i << " was mixed up";
  }
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// Once the store holds ten runs, each new one drops the oldest, whose thousands of kept
// originals are deleted in the background. What deletes them holds no descriptor of the run's:
// the window's shared work file, locked to the rename and renamed over the source, can be
// locked by anyone at once.
TEST_F(ConvertFileTest, DroppingOldRunsHoldsNoLockOnTheFilesOfTheNewOne) {
  TempTree state;
  const std::string store = state / "undo";
  auto run = [&](const std::string& folder) {
    UndoJournal journal(store, {RunOrigin::Window, "old", "new", folder});
    Conversion c = conversion("old", "new");
    c.undo = &journal;
    ConvertFolderTree(folder, c);
    EXPECT_TRUE(journal.enabled()) << journal.problem();
  };
  for (int i = 0; i < 2000; ++i) tree.write("big/f" + std::to_string(i), "old\n");
  run(tree / "big");
  for (int i = 0; i < 9; ++i) run(tree.mkdir("small" + std::to_string(i)));
  const std::string last = tree.write("last/file.txt", "old\n");
  run(tree / "last");
  ASSERT_EQ(readFile(last), "new\n");
  const int fd = open(last.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "someone holds the converted file";
  close(fd);
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// Another window of the user's that closes removes the private folder in a shared temporary
// folder; a window still open makes it again and converts every file of its next run.
TEST_F(ConvertFileTest, PrivateFolderRemovedBetweenRunsIsMadeAgain) {
  ASSERT_EQ(chmod(m_temp.path().c_str(), 01777), 0);
  auto c = conversion("old", "new");
  ASSERT_EQ(platform::folderName(c.workFile), OwnPrivateFolder());
  EXPECT_TRUE(ConvertFile(tree.write("first.txt", "old"), c));
  DeleteWorkFile(c.workFile);
  ASSERT_FALSE(exists(OwnPrivateFolder())) << "the closing window took the folder away";
  for (const char* name : {"run/a.txt", "run/b.txt", "run/c.txt"}) tree.write(name, "old");
  ConvertFolderTree(tree / "run", c);
  EXPECT_EQ(list.lines, std::vector<std::string>{});
  for (const char* name : {"run/a.txt", "run/b.txt", "run/c.txt"}) EXPECT_EQ(readFile(tree / name), "new");
}

}  // namespace
}  // namespace engine
