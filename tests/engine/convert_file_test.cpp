// One file named on its own, run as tarvel-cli and the window's file command run it: what it
// becomes, what both faces say of it, and what the conversion leaves in the work file's place.
#include "engine/file/convert_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "engine/file/file_ref.h"
#include "engine/file/replacement.h"
#include "engine/text/binary_test.h"
#include "engine/undo/undo.h"
#include "platform/error.h"
#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"
#include "words/errors.h"

namespace engine {
namespace {

using testing_support::Both;
using testing_support::exists;
using testing_support::listFolder;
using testing_support::readFile;
using testing_support::RecordedRun;
using testing_support::RunSetup;
using testing_support::TempTree;
using testing_support::Verdict;

// The summary of a run on one file that was rewritten with `replacements` occurrences replaced.
std::string rewritten(std::size_t replacements) {
  return replacements == 0
             ? " | \nФайлов: 1, изменено: 0, замен: 0, без изменений: 1, пропущено: 0, ошибок: 0\n"
             : " | \nФайлов: 1, изменено: 1, замен: " + std::to_string(replacements) +
                   ", без изменений: 0, пропущено: 0, ошибок: 0\n";
}

// A verdict of failure with the error's number: "Error N ".
std::string failed(int number) { return "Error " + std::to_string(number) + " "; }

class ConvertFileTest : public ::testing::Test {
 protected:
  ConvertFileTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  // The run of the file at `path` alone through the window's work file.
  RunSetup one(const std::string& path, const std::string& find, const std::string& replace) const {
    return testing_support::FileRun(path, find, replace, m_work);
  }

  // The run recorded, its transcript with the tree's paths relative.
  RecordedRun record(const RunSetup& s) const {
    RecordedRun r = testing_support::Record(s);
    r.transcript = testing_support::Relative(r.transcript, tree.path());
    return r;
  }

  RecordedRun convert(const std::string& path, const std::string& find,
                      const std::string& replace) const {
    return record(one(path, find, replace));
  }

  TempTree m_temp;  // the temporary folder of the run
  testing_support::ScopedEnv m_env;
  TempTree tree;  // the user's files
  std::string m_work = ChooseWorkFile();
};

TEST_F(ConvertFileTest, RewritesThroughTheWorkFileAndLeavesNothingBehind) {
  const std::string path = tree.write("page.html", "<b>old</b> and old again\r\n");
  EXPECT_EQ(m_work, m_temp.path() + "/k5ywhqx");
  EXPECT_EQ(convert(path, "old", "new").transcript, rewritten(2));
  EXPECT_EQ(readFile(path), "<b>new</b> and new again\r\n");
  EXPECT_FALSE(exists(m_work));
  EXPECT_EQ(listFolder(tree.path()), std::vector<std::string>{"page.html"});
}

// A reviewed file is written only while its bytes hash as they did when its changes were shown:
// a plan whose hash is not the file's is refused, though size, times and occurrences agree.
TEST_F(ConvertFileTest, AReviewedFileIsWrittenOnlyWhileItsBytesHashAsPlanned) {
  const std::string text = "old one, old two\n";
  const std::string path = tree.write("page.txt", text);
  RunSetup s = one(path, "old", "new");
  Plan plan = testing_support::PlanOf(s);
  ASSERT_EQ(plan.files.size(), 1u);
  const ApplyPlan apply(plan);
  s.action = &apply;
  s.targets = PlanTargets(plan);

  plan.files[0]->identity.hash ^= 1;
  const RecordedRun refused = record(s);
  ASSERT_EQ(refused.items.size(), 1u);
  ASSERT_TRUE(refused.items[0].error.has_value()) << refused.transcript;
  EXPECT_EQ(refused.items[0].error->why(), platform::Why::ChangedSinceReview);
  EXPECT_EQ(readFile(path), text);
  EXPECT_EQ(listFolder(tree.path()), std::vector<std::string>{"page.txt"});

  plan.files[0]->identity.hash ^= 1;  // the plan as it was made
  EXPECT_EQ(Verdict(record(s)), "rewritten");
  EXPECT_EQ(readFile(path), "new one, new two\n");
}

TEST_F(ConvertFileTest, AnEmptyFileIsStillRewritten) {
  const std::string empty = tree.write("empty.txt", "");
  const ino_t before = [&] { struct stat st; stat(empty.c_str(), &st); return st.st_ino; }();
  EXPECT_EQ(convert(empty, "a", "b").transcript, rewritten(0));
  struct stat st {};
  ASSERT_EQ(stat(empty.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_NE(st.st_ino, before);
}

// Each case is previewed first, which names how the file is read and changes nothing, then
// converted; with the smallest chunk the texts allow, and with the usual one.
TEST_F(ConvertFileTest, EachFileIsReadInItsOwnEncoding) {
  const std::string cp1251 = "\xC5\xF9\xB8 \xEE\xE4\xE8\xED: \xE8 \xB8\xE6";  // Ещё один: и ёж
  // "Привет, ПРИВЕТ, привет; Hello HELLO" in CP1251.
  const std::string hello =
      "\xCF\xF0\xE8\xE2\xE5\xF2, \xCF\xD0\xC8\xC2\xC5\xD2, \xEF\xF0\xE8\xE2\xE5\xF2; Hello HELLO";
  struct Case {
    const char* name;
    std::string before;
    std::string find, replace;
    bool caseSensitive;
    bool asciiAsUtf8;
    const char* kind;  // as the preview names it; empty: no occurrence, or refused
    std::size_t replacements;
    std::string after;  // empty: the run fails with error 5 and the file stays
  };
  for (const std::size_t chunk : {std::size_t{4}, ChunkSize}) {
    const std::string past(chunk + 5, 'a');    // past the first chunk
    const std::string split(chunk - 1, 'a');  // the next character straddles the boundary
    const std::string straddle(chunk - 2, '.');
    const std::vector<Case> cases = {
        {"UTF-8: и keeps its bytes", "Ещё один пример: и ёжик, и Шишкин.", "ё", "е", true, false,
         "UTF-8", 2, "Еще один пример: и ежик, и Шишкин."},
        {"UTF-8 ignoring case", "Ёж и ёжик", "ё", "е", false, false, "UTF-8", 2, "еж и ежик"},
        {"code page", cp1251, "ё", "е", true, false, "CP1251", 2,
         "\xC5\xF9\xE5 \xEE\xE4\xE8\xED: \xE8 \xE5\xE6"},
        {"code page ignoring case", hello, "привет", "*", false, false, "CP1251", 3,
         "*, *, *; Hello HELLO"},
        {"case-sensitive by default", "*; Hello HELLO", "hello", "bye", true, false, "", 0,
         "*; Hello HELLO"},
        {"Latin ignoring case", "*; Hello HELLO", "hello", "bye", false, false, "CP1251", 2,
         "*; bye bye"},
        {"byte-order mark stays", "\xEF\xBB\xBFПривет", "привет", "мир", false, false, "UTF-8", 1,
         "\xEF\xBB\xBFмир"},
        {"an occurrence across the chunk boundary", straddle + "FIND..", "FIND", "R", true, false,
         "CP1251", 1, straddle + "R.."},
        {"a file of exactly one chunk", std::string(chunk, 'a'), "a", "bb", true, false, "CP1251",
         chunk, std::string(2 * chunk, 'b')},
        {"first non-ASCII byte past the first chunk", past + "ё", "ё", "е", true, false, "UTF-8",
         1, past + "е"},
        {"first invalid byte past the first chunk", "ё" + past + "\xFF", "ё", "е", true, false, "",
         0, "ё" + past + "\xFF"},
        {"character split by the chunk boundary", split + "ёx", "ёx", "е!", true, false, "UTF-8",
         1, split + "е!"},
        {"plain ASCII in the code page", "abc", "b", "ё", true, false, "CP1251", 1, "a\xB8" "c"},
        {"plain ASCII in a UTF-8 locale", "abc", "b", "ё", true, true, "UTF-8", 1, "aёc"},
        {"find text the code page cannot hold", cp1251, "中", "x", true, false, "", 0, cp1251},
        {"replacement the code page cannot hold", cp1251, "ж", "中", true, false, "", 0, ""},
        {"byte-order mark on text that is not UTF-8", "\xEF\xBB\xBF\xE8", "x", "y", true, false,
         "", 0, ""},
    };
    // Copying ranges, a file longer than a chunk has its kind decided while it is read.
    for (const std::uint64_t copyFrom : {CopyRangesFrom, std::uint64_t{0}})
      for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.name) + ", chunks of " + std::to_string(chunk) +
                     (copyFrom == 0 ? ", copying ranges" : ""));
        const std::string path = tree.write("f.txt", k.before);
        RunSetup s = one(path, k.find, k.replace);
        s.chunkSize = chunk;
        s.copyRangesFrom = copyFrom;
        s.options.caseSensitive = k.caseSensitive;
        s.options.asciiAsUtf8 = k.asciiAsUtf8;
        RunSetup preview = s;
        preview.action = &CountFiles();
        const RecordedRun counted = record(preview);
        EXPECT_EQ(readFile(path), k.before) << "a preview changes nothing";
        const RecordedRun r = record(s);
        if (k.after.empty()) {
          EXPECT_TRUE(Verdict(counted).starts_with(failed(platform::kBadCharacter)))
              << Verdict(counted);
          EXPECT_TRUE(Verdict(r).starts_with(failed(platform::kBadCharacter))) << Verdict(r);
          EXPECT_EQ(readFile(path), k.before);
          continue;
        }
        const std::string line =
            *k.kind == '\0'
                ? std::string(" | ")
                : Both("Замен: " + std::to_string(k.replacements) + " (" + k.kind + ") - f.txt");
        EXPECT_EQ(counted.transcript.substr(0, counted.transcript.find('\n')), line);
        EXPECT_EQ(r.transcript, rewritten(k.replacements));
        EXPECT_EQ(readFile(path), k.after);
      }
  }
}

TEST_F(ConvertFileTest, EmptyFindTextRewritesByteForByte) {
  std::string bytes;
  for (int i = 0; i < 3 * 256; ++i) bytes += static_cast<char>(i % 256);
  const std::string path = tree.write("all.bin", bytes);
  RunSetup s = one(path, "", "x");
  s.options.skipBinary = false;
  EXPECT_EQ(record(s).transcript, rewritten(0));
  EXPECT_EQ(readFile(path), bytes);
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
      {"the last sequence in the bytes held back", "\xC3\xA9 \xC3\xA9\xFF \xC3\xA9 ",
       Encoding::Auto, true},
      {"CP1251 text", cp1251, Encoding::Auto, false},
      {"KOI8-R text", koi8, Encoding::Auto, false},
      {"valid UTF-8", russian, Encoding::Auto, false},
      // Weighed from the piece that breaks UTF-8 on, plain ASCII before it counting for nothing.
      {"ASCII, then a Latin-1 letter in UTF-8", "plain ascii " + latin1, Encoding::Auto, true},
      {"ASCII, then CP1251 text", "plain ascii " + cp1251, Encoding::Auto, false},
  };
  for (const std::uint64_t copyFrom : {CopyRangesFrom, std::uint64_t{0}})
    for (std::size_t chunk : {std::size_t{5}, ChunkSize}) {
      for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.name) + ", chunks of " + std::to_string(chunk) +
                     (copyFrom == 0 ? ", copying ranges" : ""));
        const std::string path = tree.write("f.txt", k.text);
        RunSetup s = one(path, "a", "b");
        s.chunkSize = chunk;
        s.copyRangesFrom = copyFrom;
        s.options.encoding = k.encoding;
        const RecordedRun r = record(s);
        if (!k.refused) {
          EXPECT_EQ(Verdict(r), "rewritten");
          continue;
        }
        EXPECT_TRUE(Verdict(r).starts_with(failed(platform::kBadCharacter))) << Verdict(r);
        if (k.encoding == Encoding::Auto) {
          // tarvel-cli tells how to read the file all the same.
          EXPECT_NE(r.transcript.find("он почти целиком в UTF-8, но байт в позиции"),
                    std::string::npos)
              << r.transcript;
          EXPECT_NE(r.transcript.find("; укажите кодировку (--encoding)\n"), std::string::npos)
              << r.transcript;
        }
        EXPECT_EQ(readFile(path), k.text) << "a refused file stays as it was";
      }
    }
}

TEST_F(ConvertFileTest, BinaryFileIsSkippedWithOneLine) {
  for (const std::uint64_t copyFrom : {CopyRangesFrom, std::uint64_t{0}})
    for (const std::size_t chunk : {std::size_t{8}, ChunkSize}) {
      SCOPED_TRACE("chunks of " + std::to_string(chunk) +
                   (copyFrom == 0 ? ", copying ranges" : ""));
      std::string text(chunk + 10, 'x');
      text[chunk + 3] = '\0';  // the only control byte, in the second chunk
      const std::string path = tree.write("image.dat", text);
      RunSetup s = one(path, "x", "y");
      s.chunkSize = chunk;
      s.copyRangesFrom = copyFrom;
      EXPECT_EQ(
          record(s).transcript,
          Both("!_  Бинарный файл: image.dat") +
              "\nФайлов: 1, изменено: 0, замен: 0, без изменений: 0, пропущено: 1, ошибок: 0\n");
      EXPECT_EQ(readFile(path), text);
      EXPECT_FALSE(exists(m_work)) << "a skipped file never touches the work file";

      s.options.skipBinary = false;
      EXPECT_EQ(record(s).transcript, rewritten(chunk + 9));
      EXPECT_EQ(readFile(path).substr(0, 3), "yyy");
    }
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
  RunSetup s = one(path, "a", "b");
  s.workFile = ChooseWorkFile();
  EXPECT_TRUE(Verdict(record(s)).starts_with(failed(platform::kIsFolder))) << Verdict(record(s));
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

TEST_F(ConvertFileTest, ProtectedFilesAreRefusedAtTheReplaceStepAndKeepTheirContents) {
  struct Case {
    const char* name;
    const char* dosAttributes;  // empty: none
    mode_t mode;
    const char* why;
  };
  const std::vector<Case> cases = {
      {"ro.txt", "", 0444, "файл только для чтения"},
      {".htaccess", "", 0644, "файл скрытый"},
      {"dos.txt", "0x22", 0644, "файл скрытый"},
      {"sys.txt", "0x4", 0644, "файл системный"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string path = tree.write(k.name, "old");
    ASSERT_EQ(chmod(path.c_str(), k.mode), 0);
    if (*k.dosAttributes != '\0') {
      ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", k.dosAttributes, strlen(k.dosAttributes), 0), 0);
    }
    const std::string name = k.name;
    EXPECT_EQ(convert(path, "old", "new").transcript,
              "!_ Ошибка 75 Не удалось заменить файл: " + std::string(k.why) + " - " + name +
                  " | !_  пропущен: " + k.why + " - " + name +
                  "\nФайлов: 1, изменено: 0, замен: 0, без изменений: 0, пропущено: 1, ошибок: 0\n");
    EXPECT_EQ(readFile(path), "old");
    EXPECT_FALSE(exists(m_work)) << "nothing of it is written anywhere";
  }
  // The immutable flag also makes a file read-only, even for root.
  const std::string frozen = tree.write("frozen.txt", "old");
  if (testing_support::run("chattr +i '" + frozen + "'") != 0) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  EXPECT_TRUE(Verdict(convert(frozen, "old", "new")).starts_with(failed(platform::kRefusedAttribute)));
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
  EXPECT_EQ(convert(script, "old", "new").transcript, rewritten(1));
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
  EXPECT_EQ(convert(link, "old", "new").transcript,
            "!_ Ошибка 75 Не удалось открыть файл: это ссылка - link.txt | !_  пропущен: это "
            "ссылка - link.txt\n"
            "Файлов: 0, изменено: 0, замен: 0, без изменений: 0, пропущено: 0, ошибок: 0, "
            "ссылок пропущено: 1\n");
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is not replaced by a copy";
  EXPECT_EQ(readFile(target), "old");

  // A FIFO with no writer would block a plain open or read forever.
  const std::string fifo = tree / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(IsBinaryFile(fifo));
  const std::vector<std::pair<std::string, int>> cases = {
      {fifo, platform::kRefusedAttribute},
      {tree.path(), platform::kIsFolder},
      {tree / "missing.txt", platform::kNotFound},
  };
  for (const auto& [path, number] : cases) {
    RunSetup s = one(path, "old", "new");
    s.options.skipBinary = false;
    EXPECT_TRUE(Verdict(record(s)).starts_with(failed(number))) << path;
  }
}

// A name the listing gave as a regular file is opened without a look first: whatever has
// taken its place since (a link, a pipe with no writer, a folder) is still refused, at once.
TEST_F(ConvertFileTest, ANameListedAsAFileIsRefusedWhenSomethingElseTookItsPlace) {
  const std::string target = tree.write("target.txt", "old");
  ASSERT_EQ(symlink(target.c_str(), (tree / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((tree / "pipe").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((tree / "folder").c_str(), 0755), 0);
  const platform::File folder =
      platform::File::open(tree.path(), O_RDONLY | O_DIRECTORY, 0, platform::Step::OpenFile);
  const std::vector<std::pair<std::string, platform::Why>> cases = {
      {"link", platform::Why::IsLink},
      {"pipe", platform::Why::NotRegular},
      {"folder", platform::Why::IsFolder},
  };
  for (const auto& [name, why] : cases) {
    const std::string path = tree / name;
    const FileRef ref(folder.fd(), name, path, DT_REG);
    try {
      LockedFile opened(ref);
      ADD_FAILURE() << name << " was opened as a file";
    } catch (const platform::Error& e) {
      EXPECT_EQ(e.why(), why) << name;
    }
  }
  EXPECT_EQ(readFile(target), "old");
}

TEST_F(ConvertFileTest, WorkFileLinkOrForeignFileIsRefused) {
  const std::string path = tree.write("a.txt", "old");
  const std::string victim = tree.write("victim.txt", "precious");
  ASSERT_EQ(symlink(victim.c_str(), m_work.c_str()), 0);  // planted after the name was chosen
  EXPECT_TRUE(Verdict(convert(path, "old", "new")).starts_with("Error "));
  EXPECT_EQ(readFile(victim), "precious");
  EXPECT_EQ(readFile(path), "old");
  ASSERT_EQ(unlink(m_work.c_str()), 0);

  if (geteuid() == 0) {
    testing_support::writeFile(m_work, "someone else's");
    ASSERT_EQ(chown(m_work.c_str(), 4321, 4321), 0);
    EXPECT_TRUE(Verdict(convert(path, "old", "new")).starts_with(failed(platform::kAccessRefused)));
    EXPECT_EQ(readFile(m_work), "someone else's") << "not truncated";
    EXPECT_EQ(readFile(path), "old");
  }
}

TEST_F(ConvertFileTest, AFileOverTheLimitIsLeftBeforeItIsRead) {
  const std::string path = tree / "huge.txt";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5LL << 30), 0);  // sparse: takes no space
  close(fd);
  RunSetup s = one(path, "a", "b");
  s.options.skipBinary = false;
  s.options.maxSize = 4ULL << 30;
  const auto run = testing_support::Record(s);
  ASSERT_EQ(run.items.size(), 1u);
  EXPECT_EQ(run.items[0].kind, RunItem::Kind::Skipped);
  ASSERT_TRUE(run.items[0].error.has_value());
  EXPECT_EQ(run.items[0].error->refusal(), platform::Refusal::TooLarge);
  EXPECT_FALSE(exists(m_work));
}

TEST_F(ConvertFileTest, DeleteWorkFileRemovesOnlyOurRegularFile) {
  testing_support::writeFile(m_work, "left over");
  DeleteWorkFile(m_work);
  EXPECT_FALSE(exists(m_work));
  const std::string victim = tree.write("victim", "keep");
  ASSERT_EQ(symlink(victim.c_str(), m_work.c_str()), 0);
  DeleteWorkFile(m_work);
  EXPECT_TRUE(exists(m_work));
  EXPECT_EQ(readFile(victim), "keep");
  DeleteWorkFile(tree / "nothing-here");  // reports nothing
}

TEST_F(ConvertFileTest, AnotherTarvelsWorkFileIsWaitedForAndNeverDeleted) {
  // Another copy of the program holds the work file (same name: both chose it at start).
  const int other = open(m_work.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(other, 0);
  ASSERT_EQ(write(other, "its text", 8), 8);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  DeleteWorkFile(m_work);
  EXPECT_EQ(readFile(m_work), "its text") << "a work file in use stays";

  // The run waits, letting the window repaint, until the other one has renamed its work file
  // away; it never writes into the other's file.
  const std::string path = tree.write("mine.txt", "old");
  const std::string theirs = tree / "theirs.txt";
  RunSetup s = one(path, "old", "new");
  int waits = 0;
  s.onWaiting = [&] {
    if (++waits == 5) {
      ASSERT_EQ(rename(m_work.c_str(), theirs.c_str()), 0);
      close(other);
    }
  };
  EXPECT_EQ(record(s).transcript, rewritten(1));
  EXPECT_GE(waits, 5);
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

// Once the store holds ten runs, each new one drops the oldest, whose thousands of kept
// originals are deleted in the background. What deletes them holds no descriptor of the run's:
// the window's shared work file, locked to the rename and renamed over the source, can be
// locked by anyone at once.
TEST_F(ConvertFileTest, DroppingOldRunsHoldsNoLockOnTheFilesOfTheNewOne) {
  TempTree state;
  const std::string store = state / "undo";
  auto run = [&](const std::string& folder) {
    UndoJournal journal(store, {RunOrigin::Window, "old", "new", folder});
    RunSetup s = one(folder, "old", "new");
    s.targets = {RunTarget::Folder(folder)};
    s.undo = &journal;
    EXPECT_FALSE(record(s).outcome.tally.failed());
    EXPECT_TRUE(journal.enabled()) << words::ErrorText(journal.problem().value_or(platform::outOfMemory()));
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

// Another window of the user's that closes removes the private folder in a shared temporary
// folder; a window still open makes it again and converts every file of its next run.
TEST_F(ConvertFileTest, PrivateFolderRemovedBetweenRunsIsMadeAgain) {
  ASSERT_EQ(chmod(m_temp.path().c_str(), 01777), 0);
  RunSetup s = one(tree.write("first.txt", "old"), "old", "new");
  s.workFile = ChooseWorkFile();
  ASSERT_EQ(platform::folderName(s.workFile), OwnPrivateFolder());
  EXPECT_EQ(record(s).transcript, rewritten(1));
  DeleteWorkFile(s.workFile);
  ASSERT_FALSE(exists(OwnPrivateFolder())) << "the closing window took the folder away";
  for (const char* name : {"run/a.txt", "run/b.txt", "run/c.txt"}) tree.write(name, "old");
  s.targets = {RunTarget::Folder(tree / "run")};
  EXPECT_EQ(record(s).transcript,
            " | \n | \n | \nФайлов: 3, изменено: 3, замен: 3, без изменений: 0, пропущено: 0, "
            "ошибок: 0\n");
  for (const char* name : {"run/a.txt", "run/b.txt", "run/c.txt"}) EXPECT_EQ(readFile(tree / name), "new");
}

}  // namespace
}  // namespace engine
