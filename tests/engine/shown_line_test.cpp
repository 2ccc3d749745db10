// An occurrence on its line as the review window's rows show it: the line around it read
// again from the file, at most so many bytes of it on either side.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "engine/review/shown_file.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::TempTree;

struct LineCase {
  const char* name;
  std::string bytes;  // the file
  std::string found;  // its first occurrence is shown
  std::size_t around;
  // What is shown of it, in UTF-8.
  std::string before, after;
  bool cutBefore = false, cutAfter = false;
};

// The file `bytes` planned with one occurrence, of `found`.
PlannedFile planned(const std::string& path, const std::string& bytes, const std::string& found) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  PlannedFile plan;
  plan.path = path;
  plan.identity = FileIdentity::Of(st);
  const std::size_t at = bytes.find(found);
  EXPECT_NE(at, std::string::npos);
  plan.occurrences.push_back({at, 1, static_cast<std::uint32_t>(found.size()), 1});
  plan.accepted.push_back(true);
  return plan;
}

TEST(ShowLineTest, ShowsTheLineAroundTheOccurrenceUpToTheLimit) {
  const std::string x20(20, 'x'), y20(20, 'y');
  const LineCase cases[] = {
      {"inside a line", "one\ntwo old three\nfour", "old", 100, "two ", " three"},
      {"the file's only line, without a break", "old", "old", 100, "", ""},
      {"a line ending in CR LF", "a old b\r\nnext", "old", 100, "a ", " b"},
      {"found text that ends the line", "x old\ny", "old\n", 100, "x ", ""},
      {"a long line cut on both sides", x20 + "old" + y20, "old", 5, "xxxxx", "yyyyy", true, true},
      {"the limit reaching the file's ends exactly", "xxoldyy", "old", 2, "xx", "yy"},
      {"the limit reaching a line's ends exactly", "a\nxxoldyy\nb", "old", 3, "xx", "yy"},
      // "жжжж" is eight bytes: three of them cut the second to last in half.
      {"characters cut in half left out", "жжжжoldжжжж", "old", 3, "ж", "ж", true, true},
  };
  TempTree tree;
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = tree.write("f.txt", c.bytes);
    const PlannedFile plan = planned(path, c.bytes, c.found);
    ShownFile file(plan);
    const ShownLine line = ShowLine(file, plan, 0, {"new", {}}, c.around);
    EXPECT_EQ(line.before, c.before);
    EXPECT_EQ(line.found, c.found);
    EXPECT_EQ(line.replacement, "new");
    EXPECT_EQ(line.after, c.after);
    EXPECT_EQ(line.cutBefore, c.cutBefore);
    EXPECT_EQ(line.cutAfter, c.cutAfter);
  }
}

}  // namespace
}  // namespace engine
