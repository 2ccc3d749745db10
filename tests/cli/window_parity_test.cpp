// A folder run of tarvel-cli against the window's command, ConvertFolderTree, on two identical
// trees: the same files afterwards and the same lines in the same order.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "engine/convert_file.h"
#include "engine/folder_walk.h"
#include "platform/code_page.h"
#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using testing_support::TempTree;
using Lines = std::vector<std::string>;

const auto& page() {
  static const auto p = platform::CodePage::byName("CP1251");
  return *p;
}

void populate(const TempTree& t) {
  const auto enc = [](const char* utf8) { return page().encode(utf8); };
  t.write("a.txt", enc("Привет, мир!\r\nпривет ПРИВЕТ пРиВеТ"));
  t.write("b.bin", enc("привет") + std::string("\0", 1));
  t.write("c.TXT", enc("привет"));
  t.write("d.txt.bak", enc("привет"));
  t.write("noext", enc("привет"));
  t.write("archive.", enc("привет"));
  t.write(".hidden.txt", enc("привет"));
  chmod(t.write("ro.txt", enc("привет")).c_str(), 0444);
  const std::string sys = t.write("sys.txt", enc("привет"));
  setxattr(sys.c_str(), "user.DOSATTRIB", "0x4", 3, 0);  // where the file system allows it
  symlink("a.txt", (t / "link.txt").c_str());
  t.write("empty.txt", "");
  // Several chunks, with one occurrence split by the first chunk boundary.
  std::string big(65529 - 3, 'x');
  big += enc("привет") + std::string(70000, 'y') + enc("ПРИВЕТ");
  t.write("sub/big.txt", big);
  t.write("sub/deeper/f.txt", enc("и привет"));
  t.write("sub/g.bin", std::string("\x1b", 1) + enc("привет"));
  t.write("zz/h.txt", enc("приветпривет"));
  for (int i = 0; i < 40; ++i) {
    // Many small files, with a binary file and a protected one among them, so that workers
    // finish out of order.
    const std::string n = std::to_string(i);
    t.write("many/" + n + ".txt", i % 7 == 0 ? enc("привет") + std::string("\0", 1)
                                             : enc(i % 2 ? ("привет " + n).c_str() : "нет"));
    if (i % 9 == 0) chmod((t / ("many/" + n + ".txt")).c_str(), 0444);
  }
  t.write("zz/utf8.txt", "Привет, ёж! ПРИВЕТ");
  t.write("zz/bom.txt", "\xEF\xBB\xBFпривет");
}

struct ParityCase {
  const char* name;
  Lines options;
  std::function<void(engine::MatchOptions&)> adjust;
};

void PrintTo(const ParityCase& c, std::ostream* os) { *os << c.name; }

class CliWindowParityTest : public ::testing::TestWithParam<ParityCase> {
 protected:
  void TearDown() override { EXPECT_EQ(testing_support::listFolder(temp.path()), Lines{}); }

  TempTree windowTree;
  TempTree cliTree;
  TempTree temp;
};

TEST_P(CliWindowParityTest, SameFilesAndLinesAsTheWindowsFolderCommand) {
  const ParityCase& c = GetParam();
  populate(windowTree);
  populate(cliTree);

  testing_support::RecordingList list;
  {
    TempTree windowTemp;
    testing_support::ScopedEnv env("TMPDIR", windowTemp.path().c_str());
    engine::MatchOptions options;
    options.findText = "привет";
    options.replaceText = "мир";
    options.asciiAsUtf8 = true;  // tarvel-cli runs in a UTF-8 locale here
    c.adjust(options);
    engine::Conversion conversion{.options = std::move(options), .messages = list,
                                  .codePage = page(), .workFile = engine::ChooseWorkFile(),
                                  .pump = {}};
    engine::ConvertFolderTree(windowTree.path(), conversion);
    engine::DeleteWorkFile(conversion.workFile);
  }

  // --rewrite-all: every visited file rewritten, as the window does.
  Lines args = {"--find", "привет", "--replace", "мир", "--codepage", "CP1251", "--yes",
                "--rewrite-all"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  args.push_back(cliTree.path());
  const cli_testing::Result r = cli_testing::runCli(args, temp.path());

  // The same lines, but for protected files, which tarvel-cli words as skips, not failures;
  // and its summary before the closing line.
  Lines expected;
  for (std::string line : list.lines) {
    const auto at = line.find(windowTree.path());
    if (at != std::string::npos) line.replace(at, windowTree.path().size(), cliTree.path());
    const std::string refused = "!_ Ошибка 75 ";
    if (line.starts_with(refused)) {
      line = "!_  пропущен: " + line.substr(line.find(": ", refused.size()) + 2);
    }
    expected.push_back(line);
  }
  expected.push_back("Операция завершена.");
  Lines got = cli_testing::lines(r.out);
  ASSERT_GE(got.size(), 2u);
  EXPECT_TRUE(got[got.size() - 2].starts_with("Файлов: ")) << got[got.size() - 2];
  got.erase(got.end() - 2);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(r.status, r.out.find("!_ Ошибка") != std::string::npos ? 1 : 0);
  EXPECT_EQ(cli_testing::contents(cliTree.path()), cli_testing::contents(windowTree.path()));
  TempTree pristine;
  populate(pristine);
  EXPECT_NE(cli_testing::contents(cliTree.path()), cli_testing::contents(pristine.path()))
      << "nothing was converted";
}

INSTANTIATE_TEST_SUITE_P(
    Options, CliWindowParityTest,
    ::testing::Values(
        ParityCase{"Defaults", {}, [](engine::MatchOptions&) {}},
        ParityCase{"IgnoreCase", {"--ignore-case"},
                   [](engine::MatchOptions& o) { o.caseSensitive = false; }},
        ParityCase{"IncludeBinary", {"--include-binary", "--ignore-case"},
                   [](engine::MatchOptions& o) {
                     o.skipBinary = false;
                     o.caseSensitive = false;
                   }},
        ParityCase{"Extension", {"--ext", " txt "},
                   [](engine::MatchOptions& o) { o.extension = ".txt"; }},
        ParityCase{"ExtensionOfAnotherCase", {"--ext", "TXT", "--ignore-case"},
                   [](engine::MatchOptions& o) {
                     o.extension = ".TXT";
                     o.caseSensitive = false;
                   }},
        // Files converted side by side report exactly as one at a time.
        ParityCase{"OneJob", {"--jobs", "1"}, [](engine::MatchOptions&) {}},
        ParityCase{"FourJobs", {"--jobs", "4", "--ignore-case"},
                   [](engine::MatchOptions& o) { o.caseSensitive = false; }}),
    [](const ::testing::TestParamInfo<ParityCase>& info) { return std::string(info.param.name); });

}  // namespace
