// tarvel-cli run as the user runs it: options, exit statuses, output lines and what happens
// to the files.
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "platform/code_page.h"
#include "tests/cli/cli_process.h"
#include "tests/support/strace_log.h"
#include "tests/support/temp_tree.h"

namespace {

using cli_testing::FileState;
using cli_testing::lines;
using cli_testing::Result;
using cli_testing::snapshot;
using testing_support::readFile;
using testing_support::TempTree;
using Lines = std::vector<std::string>;

const char* const kUsage = "Использование: tarvel-cli";
const char* const kDone = "Операция завершена.";

std::string cp1251(const std::string& utf8) {
  static const auto page = platform::CodePage::byName("CP1251");
  return page->encode(utf8);
}

std::string binaryLine(const std::string& path) { return "!_  Бинарный файл: " + path; }

std::string readOnlyLine(const std::string& path) {
  return "!_  пропущен: файл только для чтения - " + path;
}

// The summary line: files met, changed, occurrences replaced, files left unchanged, skipped,
// failed (files = changed + unchanged + skipped + failed); a dry run's says what would happen.
std::string summary(int files, int changed, int replaced, int unchanged, int skipped, int failed,
                    bool dryRun = false) {
  const auto n = [](int v) { return std::to_string(v); };
  EXPECT_EQ(files, changed + unchanged + skipped + failed) << "the test's own summary adds up";
  return "Файлов: " + n(files) + (dryRun ? ", будет изменено: " : ", изменено: ") + n(changed) +
         (dryRun ? ", замен будет: " : ", замен: ") + n(replaced) + ", без изменений: " +
         n(unchanged) + ", пропущено: " + n(skipped) + ", ошибок: " + n(failed);
}

class CliRunTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(testing_support::listFolder(temp.path()), Lines{})
        << "the run left its work file or work folder behind";
  }

  Result run(const Lines& args, const std::string& cwd = {}, const Lines& wrapper = {}) {
    return cli_testing::runCli(args, temp.path(), cwd, wrapper);
  }

  std::string readOnly(const std::string& relative, const std::string& content) {
    const std::string path = tree.write(relative, content);
    chmod(path.c_str(), 0444);
    return path;
  }

  static ino_t inode(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_ino;
  }

  TempTree tree;
  TempTree temp;  // the runs' TMPDIR
};

TEST_F(CliRunTest, OneFileIsConvertedLikeTheWindowsFileCommand) {
  const std::string file = tree.write("a.txt", cp1251("Привет, мир! ПРИВЕТ\r\nпривет"));
  Result r = run({"--find", "привет", "--replace", "здравствуй", "--ignore-case", "--codepage",
                  "CP1251", "--yes", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out), (Lines{summary(1, 1, 3, 0, 0, 0), kDone}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(readFile(file), cp1251("здравствуй, мир! здравствуй\r\nздравствуй"));

  // Case-sensitive by default: only the same letters in the same case.
  const std::string other = tree.write("b.txt", cp1251("Привет привет"));
  r = run({"--find", "привет", "--replace", "x", "--codepage", "CP1251", "--yes", other});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(other), cp1251("Привет x"));
}

TEST_F(CliRunTest, OneFileSkippedFailedOrNotAFile) {
  const std::string binary = tree.write("b.bin", std::string("old\0old", 7));
  const FileState before = snapshot(tree.path()).at("b.bin");
  Result r = run({"--find", "old", "--replace", "new", "--yes", binary});
  EXPECT_EQ(r.status, 0);
  // No "Операция завершена." for a file that was not rewritten, as in the window.
  EXPECT_EQ(lines(r.out), (Lines{binaryLine(binary), summary(1, 0, 0, 0, 1, 0)}));
  EXPECT_EQ(snapshot(tree.path()).at("b.bin"), before);

  r = run({"--find", "old", "--replace", "new", "--yes", "--include-binary", binary});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), (Lines{summary(1, 1, 2, 0, 0, 0), kDone}));
  EXPECT_EQ(readFile(binary), std::string("new\0new", 7));

  // Protected files are reported, but they are no failures.
  const std::string ro = readOnly("ro.txt", "old");
  r = run({"--find", "old", "--replace", "new", "--yes", ro});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), (Lines{readOnlyLine(ro), summary(1, 0, 0, 0, 1, 0)}));
  EXPECT_EQ(readFile(ro), "old");

  const std::string link = tree / "link.txt";
  ASSERT_EQ(symlink("b.bin", link.c_str()), 0);
  r = run({"--find", "new", "--replace", "old", "--yes", link});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out).at(0), "!_  пропущен: это ссылка - " + link);
  EXPECT_EQ(readFile(binary), std::string("new\0new", 7));

  // A real failure: the window's box text, and status 1.
  const std::string notUtf8 = tree.write("bad.txt", "\xFFold");
  r = run({"--find", "new", "--replace", "old", "--yes", "--encoding", "utf-8", notUtf8});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines(r.out).at(0), "Error 5 Не удалось прочитать файл как UTF-8: недопустимая "
                                "последовательность байтов в позиции 1");
}

// A protected file is refused before anything is written for it: no work file is ever opened.
TEST_F(CliRunTest, ProtectedFileIsRefusedBeforeAnythingIsWritten) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  const std::string ro = readOnly("ro.txt", cli_testing::textBlock(1 << 20, "an old line\n"));
  TempTree logs;
  const Result r = run({"-y", "old", "new", ro}, {},
                       {"strace", "-f", "-qq", "-e", "trace=openat", "-o", logs / "trace"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out).at(0), readOnlyLine(ro));
  const std::string trace = readFile(logs / "trace");
  EXPECT_NE(trace.find("ro.txt"), std::string::npos) << "the trace follows the run";
  EXPECT_EQ(trace.find("k5ywhqx"), std::string::npos) << "a work file was opened";
}

TEST_F(CliRunTest, FolderRunReportsInWalkOrderThenDone) {
  tree.write("a.bin", std::string("x\0", 2));
  tree.write("b.txt", "old old");
  readOnly("c.txt", "old");
  tree.write("sub/.h", "old");
  tree.write("sub/d.bin", std::string("old\x1b", 4));
  tree.write("sub/deeper/e.txt", "an old one");
  tree.write("z/f.bin", std::string("\x01", 1));
  const std::string root = tree.path();
  Result r = run({"--find", "old", "--replace", "new", "--yes", root});
  EXPECT_EQ(r.status, 0) << "binary and protected files are no failures";
  EXPECT_EQ(lines(r.out),
            (Lines{binaryLine(root + "/a.bin"), readOnlyLine(root + "/c.txt"),
                   "!_  пропущен: файл скрытый - " + root + "/sub/.h",
                   binaryLine(root + "/sub/d.bin"), binaryLine(root + "/z/f.bin"),
                   summary(7, 2, 3, 0, 5, 0), kDone}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(readFile(tree / "b.txt"), "new new");
  EXPECT_EQ(readFile(tree / "sub/deeper/e.txt"), "an new one");
  EXPECT_EQ(readFile(tree / "c.txt"), "old");

  // Binary files skipped and nothing failed: status 0. A trailing "/" changes nothing.
  std::filesystem::remove_all(tree / "sub");
  chmod((tree / "c.txt").c_str(), 0644);
  r = run({"--find", "new", "--replace", "old", "--yes", root + "/"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), (Lines{binaryLine(root + "/a.bin"), binaryLine(root + "/z/f.bin"),
                                 summary(4, 1, 2, 1, 2, 0), kDone}));
  EXPECT_EQ(readFile(tree / "b.txt"), "old old");
}

// The summary adds up: each file met once among changed, unchanged, skipped and failed; a
// folder not entered and a link (to a file or to a folder) are counted apart, never as files.
TEST_F(CliRunTest, SummaryAddsUp) {
  tree.write("a.txt", "old");
  tree.write("b.txt", "other");
  tree.write("c.bin", std::string("old\0", 4));
  tree.write(".git/HEAD", "old");
  tree.write("sub/d.txt", "old");
  ASSERT_EQ(symlink("sub", (tree / "folder-link").c_str()), 0);
  ASSERT_EQ(symlink("a.txt", (tree / "file-link").c_str()), 0);
  for (const bool dryRun : {true, false}) {
    const Result r = run({dryRun ? "-n" : "-y", "old", "new", tree.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).at(lines(r.out).size() - 2),
              summary(4, 2, 2, 1, 1, 0, dryRun) + ", папок не обойдено: 1, ссылок пропущено: 2")
        << r.out;
  }
}

TEST_F(CliRunTest, DryRunListsWhatWouldChangeAndTouchesNothing) {
  tree.write("b.bin", std::string("Old\0", 4));
  tree.write("m.txt", "old OLD Old");
  readOnly("ro.txt", "old");
  tree.write("u.txt", "nothing here");
  tree.write("sub/n.txt", "gold");
  const std::string root = tree.path();
  const auto before = snapshot(root);
  const Lines options = {"--find", "old", "--replace", "new", "--ignore-case"};

  Lines args = options;
  args.insert(args.end(), {"--dry-run", root});  // no --yes, no terminal: still runs
  Result preview = run(args);
  EXPECT_EQ(preview.status, 0);
  EXPECT_EQ(lines(preview.out),
            (Lines{binaryLine(root + "/b.bin"), "Замен: 3 (UTF-8) - " + root + "/m.txt",
                   readOnlyLine(root + "/ro.txt"), "Замен: 1 (UTF-8) - " + root + "/sub/n.txt",
                   summary(5, 2, 4, 1, 2, 0, true), "Изменений не было"}));
  EXPECT_EQ(snapshot(root), before) << "a dry run changed content, inode or modification time";

  // The real run reports the same lines, and changes exactly the files listed.
  args = options;
  args.insert(args.end(), {"--yes", root});
  Result real = run(args);
  EXPECT_EQ(real.status, 0);
  Lines expected;
  for (const auto& line : lines(preview.out)) {
    if (line.starts_with("!_")) expected.push_back(line);
  }
  expected.push_back(summary(5, 2, 4, 1, 2, 0));
  expected.push_back(kDone);
  EXPECT_EQ(lines(real.out), expected);
  const auto after = snapshot(root);
  for (const auto& [name, state] : after) {
    const bool listed = name == "m.txt" || name == "sub/n.txt";
    EXPECT_EQ(state.content != before.at(name).content, listed) << name;
  }

  // One file: its count and the summary; without a match, only the summary.
  const auto again = snapshot(root);
  preview = run({"--find", "NEW", "--ignore-case", "--dry-run", tree / "m.txt"});
  EXPECT_EQ(preview.status, 0);
  EXPECT_EQ(lines(preview.out), (Lines{"Замен: 3 (UTF-8) - " + tree / "m.txt",
                                       summary(1, 1, 3, 0, 0, 0, true), "Изменений не было"}));
  // Nothing found: a hint at what may be wrong.
  preview = run({"--find", "zzz", "--dry-run", tree / "u.txt"});
  EXPECT_EQ(preview.status, 0);
  EXPECT_EQ(lines(preview.out),
            (Lines{summary(1, 0, 0, 1, 0, 0, true),
                   "Искомый текст не найден. Файлы прочитаны как UTF-8; кодовую страницу для "
                   "файлов не в UTF-8 задаёт --codepage, без учёта регистра ищет --ignore-case.",
                   "Изменений не было"}));
  EXPECT_EQ(snapshot(root), again);
}

TEST_F(CliRunTest, UnmatchedFilesAreLeftAloneUnlessRewriteAll) {
  tree.write("b.bin", std::string("\0", 1));
  tree.write("m.txt", "old");
  readOnly("ro-m.txt", "old");
  readOnly("ro-u.txt", "other");
  tree.write("u.txt", "other");
  tree.write("sub/u2.txt", "");
  const std::string root = tree.path();
  const auto before = snapshot(root);
  for (const Lines& name : {Lines{}, Lines{"--skip-unmatched"}}) {
    Lines args = {"old", "new", "--yes", root};
    args.insert(args.end(), name.begin(), name.end());
    Result r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out), (Lines{binaryLine(root + "/b.bin"), readOnlyLine(root + "/ro-m.txt"),
                                   summary(6, 1, 1, 3, 2, 0), kDone}));
    const auto after = snapshot(root);
    EXPECT_EQ(readFile(tree / "m.txt"), "new");
    for (const char* untouched : {"u.txt", "ro-u.txt", "sub/u2.txt", "b.bin", "ro-m.txt"}) {
      EXPECT_EQ(after.at(untouched), before.at(untouched)) << untouched << " (inode, times)";
    }
    tree.write("m.txt", "old");
  }

  // --rewrite-all: the window's rule, every file is rewritten.
  Result r = run({"--find", "old", "--replace", "new", "--yes", "--rewrite-all", tree / "u.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out).back(), kDone);
  EXPECT_NE(inode(tree / "u.txt"), before.at("u.txt").inode);
  EXPECT_EQ(readFile(tree / "u.txt"), "other");
}

TEST_F(CliRunTest, ExtensionsAsTheyAreTyped) {
  const Lines names = {"x.txt", "y.TXT", "z.txt.bak", "w", "archive.", "sub/v.txt", "a.tar.gz"};
  auto converted = [&](const std::string& ext) {
    for (const auto& n : names) tree.write(n, "old");
    Result r = run({"--find", "old", "--replace", "new", "--yes", "--ext", ext, tree.path()});
    EXPECT_EQ(r.status, 0) << ext;
    EXPECT_EQ(lines(r.out).back(), kDone) << ext;
    Lines result;
    for (const auto& n : names) {
      if (readFile(tree / n) == "new") result.push_back(n);
    }
    return result;
  };
  for (const char* ext : {"txt", ".txt", " txt ", "  .txt"}) {
    EXPECT_EQ(converted(ext), (Lines{"x.txt", "sub/v.txt"})) << "«" << ext << "»";
  }
  EXPECT_EQ(converted("gz"), Lines{"a.tar.gz"});
  EXPECT_EQ(converted("*.txt"), (Lines{"x.txt", "sub/v.txt"})) << "as a shell user types it";
  EXPECT_EQ(converted("gz,txt"), (Lines{"x.txt", "sub/v.txt", "a.tar.gz"}));
  EXPECT_EQ(converted("."), Lines{});
  EXPECT_EQ(converted(""), names);
  EXPECT_EQ(converted("   "), names);
}

TEST_F(CliRunTest, TextsFromFilesAreTakenByteForByte) {
  TempTree aux;
  const std::string find = aux.write("find", "a\r\n\xEF\n");  // the final line break counts
  const std::string repl = aux.write("repl", std::string("\0\xFF\r\n", 4));
  const std::string file = tree.write("f.txt", "xa\r\n\xEF\nya\r\n\xEF");
  Result r = run({"--find-file", find, "--replace-file", repl, "--include-binary",
                  "--exact-line-breaks", "--yes", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(file), std::string("x\0\xFF\r\nya\r\n\xEF", 10));
}

// A pattern or a replacement that cannot work is a bad call: its reason and where, and nothing
// touched.
TEST_F(CliRunTest, ABadPatternIsABadCallThatSaysWhere) {
  const std::string file = tree.write("f.txt", "ёлка (1)");
  const auto before = snapshot(tree.path());
  struct Case {
    const char* find;
    const char* replace;
    const char* says;
  };
  for (const Case& c : {Case{"ёл(ка", "x", "Ошибка в регулярном выражении: не хватает закрывающей скобки, позиция 6"},
                        Case{"(ёл)ка", "$2", "в регулярном выражении нет группы «2», позиция 1"}}) {
    const Result r = run({"-E", "-y", c.find, c.replace, file});
    EXPECT_EQ(r.status, 2) << c.find;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(tree.path()), before);
  }
}

// A line break in a text stands for the file's own, whichever way it was typed; with
// --exact-line-breaks it means its bytes.
TEST_F(CliRunTest, LineBreaksInTheTextsFollowTheFile) {
  struct Case {
    const char* file;
    const char* find;
    const char* replace;
    bool exact;
    const char* after;
  };
  const std::vector<Case> cases = {
      {"foo\nline two\n", "foo\r\nline two", "X", false, "X\n"},
      {"foo\nline two\n", "foo\nline two", "X", false, "X\n"},
      {"a foo b\n", "foo", "X\r\nY", false, "a X\nY b\n"},
      {"a foo b\r\nc\r\n", "foo", "X\nY", false, "a X\r\nY b\r\nc\r\n"},
      {"x\r\nfoo\r\nbar\r\n", "foo\nbar", "1\n2", false, "x\r\n1\r\n2\r\n"},
      {"no break foo", "foo", "X\r\nY", false, "no break X\nY"},
      {"a foo\r\nbar b\nfoo\nbar\n", "foo\nbar", "X\r\nY", false, "a X\r\nY b\nX\nY\n"},
      {"foo bar", "foo\nbar", "X", false, "foo bar"},
      {"a\r\nb\r\n", "\r\n", "\n", true, "a\nb\n"},
      {"foo\nline two\n", "foo\r\nline two", "X", true, "foo\nline two\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.find) + " -> " + c.replace + (c.exact ? ", exact" : ""));
    const std::string file = tree.write("f.txt", c.file);
    Lines args = {"--find", c.find, "--replace", c.replace, "--yes", file};
    if (c.exact) args.insert(args.begin(), "--exact-line-breaks");
    const Result r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(file), c.after);
  }
}

TEST_F(CliRunTest, CommandLineTextsAreEncodedIntoTheCodePage) {
  const auto koi8 = platform::CodePage::byName("KOI8-R");
  ASSERT_TRUE(koi8);
  const std::string inKoi8 = tree.write("k.txt", koi8->encode("Ёж: привет"));
  const std::string inCp1251 = tree.write("w.txt", cp1251("Ёж: привет"));
  Result r = run({"--find", "привет", "--replace", "пока", "--codepage", "KOI8-R", "--yes",
                  tree.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inKoi8), koi8->encode("Ёж: пока"));
  EXPECT_EQ(readFile(inCp1251), cp1251("Ёж: привет"));

  r = run({"--find", "ёж", "--replace", "Кот", "--codepage", "CP1251", "--ignore-case", "--yes",
           inCp1251});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(inCp1251), cp1251("Кот: привет"));
}

TEST_F(CliRunTest, EncodingOptionDecidesHowFilesAreRead) {
  const std::string u = tree.write("u.txt", "ёж");
  const std::string w = tree.write("w.txt", cp1251("ёж"));
  const std::string root = tree.path();
  struct Case {
    Lines options;
    int status;
    Lines out;
    std::string u, w;  // the files afterwards
  };
  const std::vector<Case> cases = {
      {{"--dry-run"}, 0,
       {"Замен: 1 (UTF-8) - " + root + "/u.txt", "Замен: 1 (CP1251) - " + root + "/w.txt",
        summary(2, 2, 2, 0, 0, 0, true), "Изменений не было"},
       "ёж", cp1251("ёж")},
      {{"--encoding", "utf-8", "--yes"}, 1,
       {"!_ Ошибка 5 Не удалось прочитать файл как UTF-8: недопустимая последовательность "
        "байтов в позиции 1 - " + root + "/w.txt",
        summary(2, 1, 1, 0, 0, 1), kDone},
       "еж", cp1251("ёж")},
      // Every file single-byte: the UTF-8 file holds no byte B8 (ё in CP1251), and in KOI8-R
      // ё is A3, which neither file holds.
      {{"--encoding", "cp1251", "--yes"}, 0, {summary(2, 1, 1, 1, 0, 0), kDone}, "ёж", cp1251("еж")},
      {{"--encoding", "KOI8-R", "--yes"}, 0,
       {summary(2, 0, 0, 2, 0, 0),
        "Искомый текст не найден. Файлы прочитаны как KOI8-R; кодовую страницу для файлов не в "
        "UTF-8 задаёт --codepage, без учёта регистра ищет --ignore-case.",
        kDone},
       "ёж", cp1251("ёж")},
  };
  for (const Case& k : cases) {
    testing_support::writeFile(u, "ёж");
    testing_support::writeFile(w, cp1251("ёж"));
    Lines args = {"--find", "ё", "--replace", "е"};
    args.insert(args.end(), k.options.begin(), k.options.end());
    args.push_back(root);
    const Result r = run(args);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(r.status, k.status) << r.err;
    EXPECT_EQ(lines(r.out), k.out);
    EXPECT_EQ(readFile(u), k.u);
    EXPECT_EQ(readFile(w), k.w);
  }
}

// The hint after a summary without a single occurrence names the encodings the files were read
// in: where no file was read at all, it says nothing.
TEST_F(CliRunTest, NoEncodingHintWhereNoFileWasRead) {
  const std::string w = tree.write("w.txt", cp1251("ёж"));
  const std::string fifo = tree / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const Lines& args : {Lines{"-y", "--encoding", "utf-8", "щ", "ш", w},
                            Lines{"-y", "щ", "ш", fifo, w + ".missing"}}) {
    const Result r = run(args);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("Искомый текст не найден"), std::string::npos) << r.out;
  }
}

TEST_F(CliRunTest, PathsAreTakenAsTyped) {
  for (const char* folder : {"proj", "proj ", " proj"}) tree.write(std::string(folder) + "/a.txt", "old");
  auto converted = [&] {
    Lines out;
    for (const char* folder : {"proj", "proj ", " proj"}) {
      if (readFile(tree / (std::string(folder) + "/a.txt")) == "new") out.push_back(folder);
    }
    return out;
  };
  Result r = run({"--find", "old", "--replace", "new", "--yes", tree / "proj "});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(converted(), Lines{"proj "});
  r = run({"--find", "old", "--replace", "new", "--yes", "."}, tree / " proj");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(converted(), (Lines{"proj ", " proj"}));
}

TEST_F(CliRunTest, FilesAndFoldersThatCannotBeReadAreFailures) {
  tree.write("a.txt", "x");
  tree.write("locked/b.txt", "x");
  const std::string secret = tree.write("secret.txt", "x");
  const std::string root = tree.path();
  // A folder and a file that their user cannot open (root could: the rule concerns another
  // user).
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);
  ASSERT_EQ(chmod((tree / "locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(secret.c_str(), 0), 0);
  const Lines asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  Result r = run({"--find", "x", "--dry-run", root}, {}, asNobody);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines(r.out).at(1),
            "!_ Ошибка 70 Не удалось открыть файл: доступ запрещён - " + root + "/secret.txt");
  EXPECT_EQ(lines(r.out).at(2),
            "!_ Ошибка 70 Не удалось открыть папку: доступ запрещён - " + root + "/locked");
  r = run({"--find", "x", "--dry-run", root + "/a.txt"}, {}, asNobody);
  EXPECT_EQ(r.status, 0) << "the same user reads the other file";
  ASSERT_EQ(chmod((tree / "locked").c_str(), 0755), 0);
  ASSERT_EQ(chmod(secret.c_str(), 0644), 0);

  // A listing that fails with an input/output error.
  if (testing_support::run("strace -f -qq -o /dev/null -e inject=getpid:error=EPERM true") != 0) {
    GTEST_SKIP() << "strace cannot inject faults here";
  }
  r = run({"--find", "x", "--dry-run", root}, {},
          {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=getdents64:error=EIO:when=1"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines(r.out).at(0),
            "!_ Ошибка 57 Не удалось прочитать папку: ошибка ввода-вывода (системная ошибка 5) - " +
                root);
}

TEST_F(CliRunTest, OddInputEndsCleanly) {
  const std::string file = tree.write("a.txt", "x x x x x x x x x x x x x x x x x x x x");
  // An endless replacement file is refused, not read to the end of memory.
  Result r = run({"--find", "x", "--replace-file", "/dev/zero", "--yes", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("«/dev/zero» длиннее 64 МиБ"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(file), "x x x x x x x x x x x x x x x x x x x x");

  // --max-size: a larger file is left alone with a line, by a dry run as by a real one, and
  // the run goes on; one just at the limit is converted.
  const std::string huge = tree / "huge.txt";
  const int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 3LL << 30), 0);  // sparse
  close(fd);
  const std::string small = tree.write("small.txt", std::string(1024, 'x'));
  for (const char* mode : {"--dry-run", "--yes"}) {
    r = run({"--find", "x", "--replace", "y", "--include-binary", "--max-size", "1K", mode, huge,
             small});
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(lines(r.out).at(0),
              "!_  пропущен: файл больше, чем задано в --max-size - " + huge) << mode;
  }
  EXPECT_EQ(readFile(small), std::string(1024, 'y'));
  unlink(huge.c_str());

#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a limit on address space stops AddressSanitizer itself";
#else
  // Out of memory in the middle of a file: a line, status 1, the work folder removed (the
  // fixture checks), never std::terminate.
  TempTree aux;
  const std::string big = aux.write("repl", std::string(16 << 20, 'y'));
  r = run({"--find", "x", "--replace-file", big, "--yes", file}, {},
          {"sh", "-c", "ulimit -v 262144 && exec \"$0\" \"$@\""});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(lines(r.out).at(0), "Error 7 Недостаточно памяти");
  EXPECT_EQ(readFile(file), "x x x x x x x x x x x x x x x x x x x x");

  // More workers asked for than memory allows: as many start as fit, and every file is done.
  for (int i = 0; i < 40; ++i) tree.write("many/f" + std::to_string(i) + ".txt", "aa");
  for (const char* limit : {"900000", "300000"}) {
    SCOPED_TRACE(limit);
    r = run({"--jobs", "256", "-y", "aa", "bb", tree / "many"}, {},
            {"sh", "-c", std::string("ulimit -v ") + limit + " && exec \"$0\" \"$@\""});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(readFile(tree / ("many/f" + std::to_string(i) + ".txt")), "bb") << i;
      tree.write("many/f" + std::to_string(i) + ".txt", "aa");
    }
  }
#endif
}

TEST_F(CliRunTest, SeveralPathsInTheOrderGiven) {
  tree.write("one.txt", "old");
  tree.write("dir/two.txt", "old");
  tree.write("dir/three.md", "old");
  // sd's order, as a shell glob gives several paths; a missing one is that path's failure.
  Result r = run({"-y", "-e", "*.txt", "old", "new", tree / "one.txt", tree / "missing.txt",
                  tree / "dir"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines(r.out),
            (Lines{"!_ Ошибка 53 Не удалось открыть файл или папку: файл или папка не найдены - " +
                       tree / "missing.txt",
                   summary(3, 2, 2, 0, 0, 1), kDone}));
  EXPECT_EQ(readFile(tree / "one.txt"), "new");
  EXPECT_EQ(readFile(tree / "dir/two.txt"), "new");
  EXPECT_EQ(readFile(tree / "dir/three.md"), "old");
}

TEST_F(CliRunTest, BadInputChangesNothingAndSaysWhy) {
  TempTree aux;
  const std::string folderAsFile = aux.mkdir("folder");
  const std::string emptyFile = aux.write("empty", "");
  const std::string findFile = aux.write("find", "a");
  tree.write("a.txt", "a b a");
  tree.write("sub/b.txt", "a");
  const std::string root = tree.path();
  const auto before = snapshot(root);
  const std::vector<std::pair<Lines, std::string>> cases = {
      {{"--find", "a", "--replace", "b", "--yes", ""}, "путь пуст"},
      {{"--find", "a", "--replace", "b", "--yes", root + "/nothing"}, "нет такого файла или папки"},
      {{"--find", "a", "--replace", "b", "--yes", root + "/a.txt/x"}, "нет такого файла или папки"},
      {{"--find", "a", "--replace", "b", "--yes"}, "не указан путь"},
      {{"--find", "a", "--dry-run", "/."}, "это корневая папка всей файловой системы"},
      {{"--find", "a", "--dry-run", "/tmp/.."}, "это корневая папка всей файловой системы"},
      {{"--find", "a", "--dry-run", "/proc"}, "это служебная файловая система proc"},
      {{"--find", "a", "--replace", "b", "--yes", "--frobnicate", root}, "неизвестный параметр"},
      {{"--replace", "b", "--yes", root, "--find"}, "нет значения"},
      {{"--replace", "b", "--yes", root}, "не указан искомый текст"},
      {{"--find", "a", "--yes", root}, "не указан текст замены"},
      {{"--find", "", "--replace", "b", "--yes", root}, "искомый текст пуст"},
      {{"--find-file", emptyFile, "--replace", "b", "--yes", root}, "искомый текст пуст"},
      {{"--find-file", aux / "missing", "--replace", "b", "--yes", root},
       "файл искомого текста «" + aux / "missing" +
           "»: не удалось открыть: файл или папка не найдены"},
      {{"--find-file", folderAsFile, "--replace", "b", "--yes", root}, "это папка, а не файл"},
      {{"--find-file", findFile, "--replace-file", aux / "missing", "--yes", root},
       "файл текста замены"},
      {{"--find", "a", "--find-file", findFile, "--replace", "b", "--yes", root}, "вместе"},
      {{"--find", "a", "--replace", "b", "--codepage", "NO-SUCH-PAGE", "--yes", root},
       "неизвестная кодовая страница NO-SUCH-PAGE"},
      {{"--find", "a", "--replace", "b", "--codepage", "UTF-8", "--yes", root},
       "неизвестная кодовая страница UTF-8"},
      {{"--find", "\xEF\xF0", "--replace", "b", "--yes", root},
       "искомый текст: текст не в кодировке UTF-8"},
      {{"--find", "a", "--replace", "b", "--encoding", "NO-SUCH-PAGE", "--yes", root},
       "неизвестная кодовая страница NO-SUCH-PAGE"},
      {{"--find", "a", "--replace", "b", "--encoding", "KOI8-R", "--codepage", "CP1251", "--yes",
        root},
       "называют разные кодовые страницы"},
      {{"--find", "a", "--replace", "b", root}, "нет подтверждения"},
      {{"--find", "a", "--replace", "b", "--skip-unmatched", root}, "добавьте --yes"},
      {{"--pairs", aux.write("p1", "a\tb\n\n# x\nab cd\n"), "-y", root},
       "файл пар «" + aux / "p1" + "», строка 4: нет табуляции"},
      {{"--pairs", aux.write("p2", "a\tb\nb\ta\na\tc\n"), "-y", root},
       "строка 3: тот же искомый текст, что в строке 1, но с другой заменой"},
      {{"--pairs", aux.write("p3", "# nothing\n"), "-y", root}, "нет ни одной пары"},
      {{"--pairs", aux.write("p4", "a\tb\n(\tc\n"), "-E", "-y", root},
       "«" + aux / "p4" + "», строка 2: "},
      {{"--pairs", aux / "p4", "--find", "a", "-y", root}, "--pairs и --find"},
      {{"--find", "a", "--replace", "b", "--find", "", "--replace", "c", "-y", root},
       "пара 2: искомый текст пуст"},
  };
  for (const auto& [args, reason] : cases) {
    const Result r = run(args);
    std::string shown;
    for (const auto& a : args) shown += "«" + a + "» ";
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_NE(r.err.find("tarvel-cli: "), std::string::npos) << shown;
    EXPECT_NE(r.err.find(reason), std::string::npos) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find(kUsage), std::string::npos) << shown;
  }
  EXPECT_EQ(snapshot(root), before);
}

TEST_F(CliRunTest, RefusesWithoutATerminalEvenWhenAYesIsPiped) {
  TempTree io;
  const std::string file = tree.write("a.txt", "a");
  const std::string answer = io.write("answer", "да\n");
  cli_testing::Launch launch = cli_testing::launchOf({"--find", "a", "--replace", "b", file},
                                                     temp.path(), io / "out", io / "err");
  launch.stdinPath = answer;
  EXPECT_EQ(cli_testing::waitFor(cli_testing::spawnCli(launch)), 2);
  EXPECT_NE(readFile(io / "err").find("нет подтверждения"), std::string::npos);
  EXPECT_EQ(readFile(file), "a");
}

TEST_F(CliRunTest, RelativeFolderPaths) {
  tree.write("docs/b.bin", std::string("\0", 1));
  tree.write("docs/a.txt", "old");
  Result r = run({"--find", "old", "--replace", "new", "--yes", "docs"}, tree.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines(r.out), (Lines{binaryLine("./docs/b.bin"), summary(2, 1, 1, 0, 1, 0), kDone}));
  EXPECT_EQ(readFile(tree / "docs/a.txt"), "new");

  r = run({"--find", "new", "--replace", "old", "--yes", "docs/"}, tree.path());
  EXPECT_EQ(lines(r.out), (Lines{binaryLine("./docs/b.bin"), summary(2, 1, 1, 0, 1, 0), kDone}));
  EXPECT_EQ(readFile(tree / "docs/a.txt"), "old");

  // "." is the current folder by its full path.
  r = run({"--find", "old", "--replace", "new", "--yes", "."}, tree / "docs");
  const std::string real = std::filesystem::canonical(tree / "docs").string();
  EXPECT_EQ(lines(r.out), (Lines{binaryLine(real + "/b.bin"), summary(2, 1, 1, 0, 1, 0), kDone}));
  EXPECT_EQ(readFile(tree / "docs/a.txt"), "new");

  // A relative file name.
  r = run({"--find", "new", "--replace", "x", "--yes", "a.txt"}, tree / "docs");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(tree / "docs/a.txt"), "x");
}

TEST_F(CliRunTest, VersionAndHelp) {
  Result r = run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("tarvel-cli ") + TARVEL_VERSION + "\n");
  r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with(kUsage)) << r.out;
  for (const char* option : {"--find ", "--find-file ", "--replace ", "--replace-file ",
                             "--ignore-case", "--include-binary", "--ext ", "--codepage ",
                             "--yes", "--dry-run", "--skip-unmatched", "--help", "--version"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
}

}  // namespace

namespace {

// A file reached twice (named twice, named and in a folder named too, a folder inside another
// one named) is converted once.
TEST_F(CliRunTest, OverlappingTargetsAreDoneOnce) {
  const std::string f = tree.write("sub/f.txt", "v1");
  const std::string g = tree.write("g.txt", "v1");
  const std::string root = tree.path();
  for (const Lines& paths : {Lines{root, root + "/sub", f}, Lines{f, root + "/sub", root},
                             Lines{g, g, root + "/./"}}) {
    testing_support::writeFile(f, "v1");
    testing_support::writeFile(g, "v1");
    Lines args = {"-y", "v1", "v1.1"};
    args.insert(args.end(), paths.begin(), paths.end());
    const Result r = run(args);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(readFile(f), "v1.1");
    EXPECT_EQ(readFile(g), "v1.1");
    EXPECT_NE(r.out.find("Файлов: 2, изменено: 2, замен: 2"), std::string::npos) << r.out;
  }
}

// --exclude leaves out files and folders by name, or by their path below the walked folder
// when the pattern holds a "/"; an excluded folder is not entered, and the summary counts them.
TEST_F(CliRunTest, ExcludedFilesAndFoldersAreLeftOutAndCounted) {
  const std::string root = tree.path();
  for (const char* name : {"a.txt", "a.min.js", "node_modules/x.txt", "build/out.txt",
                           "src/build/keep.txt"}) {
    tree.write(name, "old");
  }
  const Result r = run({"-y", "--exclude", "*.min.js", "--exclude", "node_modules", "--exclude",
                        "build/*", "old", "new", root});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out), (Lines{summary(2, 2, 2, 0, 0, 0) + ", исключено: 3",
                                 kDone}));
  EXPECT_EQ(readFile(tree / "a.txt"), "new");
  EXPECT_EQ(readFile(tree / "src/build/keep.txt"), "new") << "a path pattern starts at the top";
  for (const char* name : {"a.min.js", "node_modules/x.txt", "build/out.txt"}) {
    EXPECT_EQ(readFile(tree / name), "old") << name;
  }
}

// The patterns a new user tries on a copy of /usr/include, with git's rules: those that match
// nothing are named at the end without changing the status; --include keeps a folder's files to
// those it matches.
TEST_F(CliRunTest, PatternsThatMatchNothingAreNamed) {
  const std::string root = tree.path();
  for (const char* name : {"x86_64-linux-gnu/bits/a.h", "bits/b.h", "c++/12/c.h", "d.h", "e.txt"}) {
    tree.write(name, "old");
  }
  Result r = run({"-y", "--exclude", "/x86_64-linux-gnu/bits", "--exclude", "./c++", "--exclude",
                  "c++/", "--exclude", "include/x86_64-linux-gnu/bits/*", "--include", "*.h",
                  "--include", "*.c", "old", "new", root});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out), (Lines{summary(2, 2, 2, 0, 0, 0) + ", исключено: 2",
                                 "шаблон --exclude «./c++» ни с чем не совпал",
                                 "шаблон --exclude «include/x86_64-linux-gnu/bits/*» ни с чем не совпал",
                                 "шаблон --include «*.c» ни с чем не совпал", kDone}));
  EXPECT_EQ(readFile(tree / "bits/b.h"), "new") << "an anchored pattern starts at the top";
  EXPECT_EQ(readFile(tree / "d.h"), "new");
  for (const char* name : {"x86_64-linux-gnu/bits/a.h", "c++/12/c.h", "e.txt"}) {
    EXPECT_EQ(readFile(tree / name), "old") << name;
  }
  r = run({"-y", "--include", "", "old", "new", root});
  EXPECT_EQ(r.status, 2);
}

// In a git work tree what git ignores is left alone and counted, with no line; --no-ignore walks
// it all. Outside one nothing changes.
TEST_F(CliRunTest, WhatGitIgnoresIsLeftAndCounted) {
  if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no git here";
  const std::string root = tree.path();
  for (const char* name : {"a.txt", "b.log", "build/out.txt", "src/c.txt"}) tree.write(name, "old");
  tree.write(".gitignore", "*.log\nbuild/\n");
  Result r = run({"-y", "old", "new", root});
  EXPECT_EQ(lines(r.out), (Lines{summary(5, 4, 4, 1, 0, 0), kDone})) << "not a work tree yet";
  ASSERT_EQ(std::system(("git init -q '" + root + "'").c_str()), 0);
  for (const char* name : {"a.txt", "b.log", "build/out.txt", "src/c.txt"}) tree.write(name, "old");
  r = run({"-y", "old", "new", root});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out), (Lines{summary(3, 2, 2, 1, 0, 0) + ", проигнорировано: 2", kDone}))
      << "nor is the .git folder a line";
  EXPECT_EQ(readFile(tree / "b.log"), "old");
  EXPECT_EQ(readFile(tree / "build/out.txt"), "old");
  r = run({"-y", "--no-ignore", "old", "new", root});
  EXPECT_EQ(lines(r.out).at(1), summary(5, 2, 2, 3, 0, 0) + ", папок не обойдено: 1")
      << "the .git folder, hidden, is said as before";
  EXPECT_EQ(readFile(tree / "build/out.txt"), "new");
}

// "-" filters standard input to standard output, read and converted as a file is: a character
// split between two writes of the pipe is whole, a single-byte text stays single-byte, and
// nothing is recorded for undo.
TEST_F(CliRunTest, DashFiltersStandardInput) {
  struct Case {
    std::string input;
    Lines options;
    std::string output;
    int status;
    std::size_t split;  // where the first write ends
  };
  const std::string utf8 = std::string(70000, 'x') + "Ёжик и ёжик";
  const std::vector<Case> cases = {
      {utf8, {"-i", "ёжик", "ёж"}, std::string(70000, 'x') + "ёж и ёж", 0, 70001},  // inside "Ё"
      {cp1251("Ёжик и ёжик"), {"-i", "ёжик", "ёж"}, cp1251("ёж и ёж"), 0, 5},
      {"Меню: Caf\xE9", {"Меню", "Menu"}, "", 1, 1},  // almost UTF-8: refused, nothing written
  };
  const std::string env = "LC_ALL=C.UTF-8 XDG_STATE_HOME='" + temp.path() + "' TMPDIR='" +
                          temp.path() + "' ";
  for (const Case& c : cases) {
    // Written by a shell in two parts, the first ending inside a character.
    const std::string split = c.input.substr(0, c.split);
    tree.write("one", split);
    tree.write("two", c.input.substr(split.size()));
    std::string command = "{ { cat '" + tree / "one" + "'; cat '" + tree / "two" + "'; } | " + env +
                          TARVEL_CLI;
    for (const std::string& o : c.options) command += " '" + o + "'";
    command += " - > '" + tree / "out" + "' 2>/dev/null; }";
    const int status = testing_support::run(command);
    SCOPED_TRACE(testing::PrintToString(c.options));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(readFile(tree / "out"), c.output);
  }
  std::string runs;
  testing_support::run(env + TARVEL_CLI + " --runs", &runs);
  EXPECT_EQ(runs, "Замен, которые можно отменить, нет.\n") << "nothing recorded for undo";
}

// A filter with nowhere to put its output fails, and its input is left unread: standard output
// closed (nothing the program opens may take its place), or a disk that takes nothing.
TEST_F(CliRunTest, FilterWithoutAWritableOutputFails) {
  const std::string in = tree.write("in.txt", "foo\n");
  const std::string env = "LC_ALL=C.UTF-8 XDG_STATE_HOME='" + temp.path() + "' TMPDIR='" +
                          temp.path() + "' ";
  const std::vector<std::pair<std::string, int>> cases = {{">&-", 2}, {">/dev/full", 1}};
  for (const auto& [redirect, status] : cases) {
    SCOPED_TRACE(redirect);
    // The shell reports how much of the input the program left (a shared file offset).
    std::string left;
    const std::string command = "{ " + env + TARVEL_CLI + " foo X - " + redirect +
                                " 2>'" + tree / "err" + "'; echo $?; cat; } <'" + in + "'";
    ASSERT_EQ(testing_support::run(command, &left), 0);
    EXPECT_EQ(left, std::to_string(status) + (status == 2 ? "\nfoo\n" : "\n"));
    EXPECT_NE(readFile(tree / "err"), "") << "a failure is said";
  }
}

// A reader that goes away (| head) ends a filter quietly, as it ends sed: no line, the status
// of a process that SIGPIPE would have ended.
TEST_F(CliRunTest, FilterWhoseReaderGoesAwayEndsQuietly) {
  // More than a pipe holds, so that the program is still writing when head is gone.
  const std::string in = tree.write("in.txt", cli_testing::textBlock(1 << 20, "a foo line\n"));
  std::string status;
  const std::string command = "{ LC_ALL=C.UTF-8 TMPDIR='" + temp.path() + "' " + TARVEL_CLI +
                              " foo bar - <'" + in + "' 2>'" + tree / "err" +
                              "'; echo $? >'" + tree / "status" + "'; } | head -c 1 >/dev/null";
  ASSERT_EQ(testing_support::run(command), 0);
  EXPECT_EQ(readFile(tree / "status"), std::to_string(128 + SIGPIPE) + "\n");
  EXPECT_EQ(readFile(tree / "err"), "");
}

// A filter whose reader takes nothing more (a full pipe) still ends on SIGTERM, as sed does.
TEST_F(CliRunTest, FilterWaitingForItsReaderEndsOnASignal) {
  const std::string in = tree.write("in.txt", std::string(1 << 20, 'a'));
  const std::string fifo = tree / "out";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  cli_testing::Launch launch = cli_testing::launchOf({"a", "b", "-"}, temp.path(), fifo);
  launch.stdinPath = in;
  const pid_t pid = cli_testing::spawnCli(launch);
  // The pipe full and the program asleep: it is in its write, which only a signal ends.
  const int capacity = fcntl(reader, F_GETPIPE_SZ);
  for (;;) {
    int queued = 0;
    ASSERT_EQ(ioctl(reader, FIONREAD, &queued), 0);
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const char state = stat.at(stat.rfind(')') + 2);
    ASSERT_NE(state, 'Z') << "the program ended with its reader taking nothing";
    if (queued >= capacity && state == 'S') break;
    sched_yield();
  }
  kill(pid, SIGTERM);
  EXPECT_EQ(cli_testing::waitFor(pid), 128 + SIGTERM);
  close(reader);
}

// A signal stops a run in the middle of a pattern's search of a file, which it leaves as it was.
TEST_F(CliRunTest, ASignalStopsAPatternSearchOfAFile) {
  std::string hostile;
  while (hostile.size() < (1 << 20)) hostile += std::string(22, 'a') + "b\n";
  tree.write("hostile.txt", hostile);
  const auto before = snapshot(tree.path());
  const TempTree outputs;
  const std::string out = outputs / "out";
  const std::string err = outputs / "err";
  const pid_t pid = cli_testing::spawnCli(cli_testing::launchOf(
      {"--yes", "-E", "(a+)+$", "X", tree.path()}, temp.path(), out, err));
  // Searching: the file mapped (the search holds it so), then a tenth of a second of processor
  // time more. Processor time alone is no sign: a sanitized build spends that much starting.
  const std::string proc = "/proc/" + std::to_string(pid);
  long long mappedAt = -1;
  for (;;) {
    const std::string stat = readFile(proc + "/stat");
    ASSERT_FALSE(stat.empty());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 3) {
        ASSERT_NE(field, "Z") << "the run ended before it was stopped";
      }
      if (i >= 14) ticks += std::stoll(field);
    }
    if (mappedAt < 0 && readFile(proc + "/maps").find("/hostile.txt") != std::string::npos) {
      mappedAt = ticks;
    }
    if (mappedAt >= 0 && (ticks - mappedAt) * 1000 >= 100 * sysconf(_SC_CLK_TCK)) break;
    sched_yield();
  }
  kill(pid, SIGTERM);
  EXPECT_EQ(cli_testing::waitFor(pid), 128 + SIGTERM);
  EXPECT_EQ(lines(readFile(out)),
            (Lines{summary(0, 0, 0, 0, 0, 0), "Замена остановлена. Обработано файлов: 0."}));
  EXPECT_EQ(readFile(err), "\ntarvel-cli: операция прервана\n");
  EXPECT_EQ(snapshot(tree.path()), before);
}

// A text file just over 4 GiB: converted and undone like any other, with an occurrence beyond
// 4 GiB found at its place (by the literal path and by a pattern over the whole mapped file).
// Real bytes, not a sparse file: zeros would be binary.
TEST_F(CliRunTest, AFileOverFourGigabytesIsConvertedAndUndone) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "4 GiB read byte by byte under AddressSanitizer takes minutes: the other builds "
                  "run it";
#endif
  constexpr std::uint64_t kBlock = 1 << 20;
  constexpr std::uint64_t kSize = (4ULL << 30) + kBlock;
  struct statfs fs {};
  ASSERT_EQ(statfs(tree.path().c_str(), &fs), 0);
  if (fs.f_type == TMPFS_MAGIC) GTEST_SKIP() << "the test folder is in memory (tmpfs)";
  const std::uint64_t room = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_bsize;
  if (room < 3 * kSize) {
    GTEST_SKIP() << "needs " << (3 * kSize >> 30) << " GiB free where the test writes, has "
                 << (room >> 30) << " GiB";
  }
  std::string block;
  while (block.size() < kBlock) block += "a line of text without the mark\n";
  block.resize(kBlock - 1);
  block += '\n';
  const std::string path = tree / "big.log";
  {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string first = block;
    first.replace(0, 5, "MARK ");
    std::string last = block;
    last.replace(last.size() - 6, 5, " MARK");
    for (std::uint64_t at = 0; at < kSize; at += kBlock) {
      const std::string& b = at == 0 ? first : at + kBlock == kSize ? last : block;
      ASSERT_EQ(pwrite(fd, b.data(), b.size(), static_cast<off_t>(at)),
                static_cast<ssize_t>(b.size()));
    }
    close(fd);
  }
  const auto digest = [&] {  // of every byte, a block at a time
    std::uint64_t h = 0;
    const int fd = open(path.c_str(), O_RDONLY);
    std::string buffer(kBlock, '\0');
    for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) {
      h = h * 1099511628211ULL +
          std::hash<std::string_view>{}(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    close(fd);
    return h;
  };
  const std::uint64_t before = digest();
  const auto tail = [&] {
    std::string end(16, '\0');
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, end.data(), end.size(), static_cast<off_t>(kSize - end.size())), 16);
    close(fd);
    return end;
  };

  Result r = run({"-n", "-E", "--find", "MAR(K)", "--replace", "SIG$1", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(", замен будет: 2,"), std::string::npos) << r.out;
  r = run({"--yes", "--find", "MARK", "--replace", "SIGN", path});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(", замен: 2,"), std::string::npos) << r.out;
  EXPECT_EQ(std::filesystem::file_size(path), kSize);
  std::string tailAfter = block.substr(block.size() - 16);
  tailAfter.replace(tailAfter.size() - 6, 5, " SIGN");
  EXPECT_EQ(tail(), tailAfter) << "the occurrence beyond 4 GiB, at its place";
  EXPECT_EQ(run({"--undo", "-y"}).status, 0);
  EXPECT_EQ(digest(), before) << "undone to the byte";
  unlink(path.c_str());
}

}  // namespace
