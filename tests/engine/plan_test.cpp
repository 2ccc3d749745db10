// A plan of what a run would replace, and the run that applies it: only the accepted
// occurrences are written, and only into files exactly as they were planned.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/review/plan.h"
#include "engine/review/shown_file.h"
#include "engine/run/run.h"
#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::RecordedRun;
using testing_support::RunSetup;
using testing_support::TempTree;

// A text made of stretches and occurrences, so that the result of accepting any of them is
// known without searching: the stretch before each occurrence, then the occurrence as it is in
// the file.
struct Pieces {
  std::vector<std::string> stretches;
  std::vector<std::string> found;  // as the file holds each occurrence
  std::string tail;

  std::string text() const { return with(std::vector<bool>(found.size(), false), ""); }
  std::string with(const std::vector<bool>& accepted, const std::string& replace) const {
    std::string out;
    for (std::size_t i = 0; i < found.size(); ++i) {
      out += stretches[i] + (accepted[i] ? replace : found[i]);
    }
    return out + tail;
  }
};

class PlanTest : public ::testing::Test {
 protected:
  PlanTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  RunSetup setup(std::vector<RunTarget> targets, const std::string& find,
                 const std::string& replace) {
    RunSetup s;
    s.targets = std::move(targets);
    s.options.findText = find;
    s.options.replaceText = replace;
    s.options.leaveUnmatched = true;
    return s;
  }

  Plan plan(const RunSetup& s) { return testing_support::PlanOf(s); }

  RecordedRun apply(RunSetup s, const Plan& plan) {
    const ApplyPlan action(plan);
    s.targets = PlanTargets(plan);
    s.action = &action;
    return testing_support::Record(s);
  }

  TempTree tree;

 private:
  TempTree m_temp;
  testing_support::ScopedEnv m_env;
};

// Where each occurrence lies: bytes, lines, and columns counted in characters.
TEST_F(PlanTest, ListsEachOccurrenceWithItsLineAndColumnInCharacters) {
  const std::string path = tree.write("a.txt", "ёж old\r\nold\nдва три old old");
  const Plan p = plan(setup({testing_support::FileTarget(path)}, "old", "new"));
  ASSERT_EQ(p.files.size(), 1u);
  struct Where {
    std::uint64_t offset, line;
    std::uint32_t column;
  };
  const std::vector<Where> expected = {{5, 1, 4}, {10, 2, 1}, {28, 3, 9}, {32, 3, 13}};
  const auto& found = p.files[0]->occurrences;
  ASSERT_EQ(found.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(found[i].offset, expected[i].offset) << i;
    EXPECT_EQ(found[i].line, expected[i].line) << i;
    EXPECT_EQ(found[i].column, expected[i].column) << i;
    EXPECT_EQ(found[i].length, 3u) << i;
  }
  EXPECT_EQ(p.files[0]->kind, FileKind::Utf8);
  EXPECT_EQ(readFile(path), "ёж old\r\nold\nдва три old old") << "a plan writes nothing";
}

// Any subset of the occurrences, at chunk sizes down to the smallest the texts allow, in UTF-8
// matched by character without regard to case (where an occurrence's bytes differ from the find
// text's) and in a code page.
TEST_F(PlanTest, AcceptingASubsetWritesExactlyThoseReplacements) {
  struct Case {
    const char* name;
    Pieces pieces;
    std::string find;
    bool ignoreCase;
  };
  std::vector<Case> cases;
  {
    Pieces utf8;
    for (int i = 0; i < 12; ++i) {
      utf8.stretches.push_back(std::string(static_cast<std::size_t>(i * 7 % 11), 'x') + "ж\n");
      utf8.found.push_back(i % 2 == 0 ? "Ёлка" : "ЁЛКА");
    }
    utf8.tail = "конец\n";
    cases.push_back({"utf8 without regard to case", utf8, "ёлка", true});
  }
  {
    Pieces page;  // CP1251: "Ёлка" is one byte a letter
    for (int i = 0; i < 9; ++i) {
      page.stretches.push_back(std::string(static_cast<std::size_t>(i % 4), '-'));
      page.found.push_back("\xa8\xeb\xea\xe0");
    }
    page.tail = "\n";
    cases.push_back({"code page", page, "Ёлка", false});
  }
  using Choice = std::vector<bool> (*)(std::size_t);
  const std::vector<std::pair<const char*, Choice>> choices = {
      {"first", [](std::size_t n) { auto v = std::vector<bool>(n, false); v.front() = true; return v; }},
      {"last", [](std::size_t n) { auto v = std::vector<bool>(n, false); v.back() = true; return v; }},
      {"every other", [](std::size_t n) {
         std::vector<bool> v(n);
         for (std::size_t i = 0; i < n; ++i) v[i] = i % 2 == 1;
         return v;
       }},
      {"none", [](std::size_t n) { return std::vector<bool>(n, false); }},
      {"all", [](std::size_t n) { return std::vector<bool>(n, true); }},
  };
  for (const Case& c : cases) {
    for (const auto& [choiceName, choose] : choices) {
      for (const std::size_t chunk : {std::size_t{8}, std::size_t{13}, ChunkSize}) {
       // The text between occurrences through the program, and copied by the kernel.
       for (const std::uint64_t copyFrom : {CopyRangesFrom, std::uint64_t{0}}) {
        SCOPED_TRACE(std::string(c.name) + ", " + choiceName + ", chunk " + std::to_string(chunk) +
                     (copyFrom == 0 ? ", ranges copied" : ""));
        const std::string path = tree.write("f.txt", c.pieces.text());
        RunSetup s = setup({testing_support::FileTarget(path)}, c.find, "сосна");
        s.options.caseSensitive = !c.ignoreCase;
        s.chunkSize = chunk;
        s.copyRangesFrom = copyFrom;
        Plan p = plan(s);
        ASSERT_EQ(p.files.size(), 1u);
        ASSERT_EQ(p.files[0]->occurrences.size(), c.pieces.found.size());
        p.files[0]->accepted = choose(c.pieces.found.size());
        const RecordedRun applied = apply(s, p);
        const bool page = c.pieces.found[0][0] == '\xa8';
        const std::string replacement = page ? "\xf1\xee\xf1\xed\xe0" : "сосна";
        EXPECT_EQ(readFile(path), c.pieces.with(p.files[0]->accepted, replacement));
        EXPECT_FALSE(applied.outcome.tally.failed()) << applied.transcript;
        EXPECT_EQ(applied.outcome.tally.replacements, p.accepted());
       }
      }
    }
  }
}

// A file longer than a chunk, searched for ASCII texts, has its kind weighed while it is read
// rather than before: its plan (kind, lines, columns, hash) is the one a file read whole at once
// gets, and a plan that guessed wrong is made again, or dropped where the file is binary.
TEST_F(PlanTest, AKindWeighedWhileReadingPlansAsAKindWeighedFirst) {
  const std::string start = "ab ab\nab\n";  // the first chunk of 8 bytes: plain ASCII
  const std::vector<std::pair<const char*, std::string>> texts = {
      {"UTF-8 later", start + "\xd0\xb6\xd0\xb6 ab \xd1\x91"
                              "ab\n"},
      {"CP1251 later", start + "\xe6\xe6 ab \xb8"
                               "ab\n"},
      {"a control byte later", start + "ab \x01 ab\n"},
      {"UTF-8 from the start",
       "\xd0\xb6"
       "ab " +
           start + "ab\n"},
  };
  for (const auto& [name, text] : texts) {
    const std::string path = tree.write("f.txt", text);
    const auto setupFor = [&](std::size_t chunk) {
      RunSetup s = setup({testing_support::FileTarget(path)}, "ab", "cd");
      s.chunkSize = chunk;
      s.options.asciiAsUtf8 = true;  // plain ASCII first: guessed UTF-8
      return s;
    };
    const auto planned = [&](std::size_t chunk) { return plan(setupFor(chunk)); };
    const Plan whole = planned(ChunkSize);
    for (const std::size_t chunk : {std::size_t{8}, std::size_t{13}}) {
      SCOPED_TRACE(std::string(name) + ", chunk " + std::to_string(chunk));
      const Plan p = planned(chunk);
      ASSERT_EQ(p.files.size(), whole.files.size());
      if (whole.files.empty()) continue;  // binary: no plan either way
      EXPECT_EQ(p.files[0]->kind, whole.files[0]->kind);
      EXPECT_EQ(p.files[0]->identity.hash, whole.files[0]->identity.hash);
      ASSERT_EQ(p.files[0]->occurrences.size(), whole.files[0]->occurrences.size());
      for (std::size_t i = 0; i < p.files[0]->occurrences.size(); ++i) {
        const Occurrence& a = p.files[0]->occurrences[i];
        const Occurrence& b = whole.files[0]->occurrences[i];
        EXPECT_EQ(std::tie(a.offset, a.line, a.column, a.length),
                  std::tie(b.offset, b.line, b.column, b.length))
            << "occurrence " << i;
      }
      // Written as planned: the file is read as its plan says, all along.
      const RecordedRun applied = apply(setupFor(chunk), p);
      EXPECT_FALSE(applied.outcome.tally.failed()) << applied.transcript;
      EXPECT_EQ(applied.outcome.tally.replacements, p.accepted());
      testing_support::writeFile(path, text);
    }
  }
}

// A file changed in any way after it was planned is left as it is and said to be; the others
// are written as planned.
TEST_F(PlanTest, AFileChangedAfterItsPlanIsLeftAndReported) {
  struct Change {
    const char* name;
    void (*change)(const std::string& path);
  };
  const std::vector<Change> changes = {
      {"the same size, its times put back",
       [](const std::string& path) {
         struct stat before {};
         stat(path.c_str(), &before);
         testing_support::writeFile(path, "b: old OLD!\n");
         const timespec times[2] = {before.st_atim, before.st_mtim};
         utimensat(AT_FDCWD, path.c_str(), times, 0);
       }},
      {"its permissions", [](const std::string& path) { chmod(path.c_str(), 0640); }},
      {"another file put in its place",
       [](const std::string& path) {
         testing_support::writeFile(path + ".new", "b: old old!\n");
         rename((path + ".new").c_str(), path.c_str());
       }},
      {"gone", [](const std::string& path) { unlink(path.c_str()); }},
      {"an occurrence moved",
       [](const std::string& path) { testing_support::writeFile(path, "b:  old old\n"); }},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    tree.write("a.txt", "a: old\n");
    const std::string changed = tree.write("b.txt", "b: old old!\n");
    chmod(changed.c_str(), 0644);
    tree.write("c.txt", "c: old\n");
    const RunSetup s = setup({RunTarget::Folder(tree.path())}, "old", "new");
    const Plan p = plan(s);
    ASSERT_EQ(p.files.size(), 3u);
    c.change(changed);
    const std::string after = testing_support::exists(changed) ? readFile(changed) : "";
    const RecordedRun applied = apply(s, p);
    EXPECT_EQ(readFile(tree / "a.txt"), "a: new\n");
    EXPECT_EQ(readFile(tree / "c.txt"), "c: new\n");
    if (testing_support::exists(changed)) {
      EXPECT_EQ(readFile(changed), after);
    }
    EXPECT_TRUE(applied.outcome.tally.failed());
    EXPECT_EQ(applied.outcome.tally.changed, 2u);
    if (testing_support::exists(changed)) {
      EXPECT_NE(testing_support::Relative(applied.transcript, tree.path())
                    .find("файл изменён после просмотра — оставлен как есть: b.txt"),
                std::string::npos)
          << applied.transcript;
    }
  }
}

// The changes are shown from the file itself, read again: the lines around an occurrence and a
// diff with three lines of context, hunks joined where their context would meet.
TEST_F(PlanTest, ShowsTheLinesAroundAnOccurrenceAndTheHunksOfADiff) {
  std::string text;
  for (int line = 1; line <= 20; ++line) {
    text += "line " + std::to_string(line) + (line == 2 || line == 8 || line == 19 ? " old" : "") +
            "\n";
  }
  const std::string path = tree.write("a.txt", text);
  Plan p = plan(setup({testing_support::FileTarget(path)}, "old", "new"));
  ASSERT_EQ(p.files.size(), 1u);
  ShownFile file(*p.files[0]);
  ShownTexts texts;
  texts.replacement = "new";
  const ShownOccurrence o = ShowOccurrence(file, *p.files[0], 1, texts, 2);
  EXPECT_EQ(o.before, "line 6\nline 7\nline 8 ");
  EXPECT_EQ(o.found, "old");
  EXPECT_EQ(o.after, "\nline 9\nline 10\n");
  std::vector<std::string> headers;
  ForEachHunk(file, *p.files[0], texts, 3,
              [&](const DiffHunk& hunk) { headers.push_back(hunk.header()); });
  // Lines 2 and 8 are six lines apart: one hunk; line 19 has one of its own.
  EXPECT_EQ(headers, (std::vector<std::string>{"@@ -1,11 +1,11 @@", "@@ -16,5 +16,5 @@"}));
  testing_support::writeFile(path, text + "more\n");
  EXPECT_THROW(ShownFile{*p.files[0]}, platform::Error) << "a file changed since is not shown";
}

// A diff reads its file once when the file fits in the window, and a window at a time when it
// does not: across the window's edges, and over a line longer than the window, its hunks
// still make, through GNU patch, what the run writes.
TEST_F(PlanTest, TheHunksOfAFileComeFromOneReadOrAWindowAtATime) {
  const std::string many = [] {
    std::string t;
    for (int i = 0; i < 5000; ++i) t += "line " + std::to_string(i) + (i % 3 ? " old\n" : "\n");
    return t;
  }();
  // Past the window: short lines with occurrences on both sides of each window edge, then one
  // line of 9 MiB holding occurrences near both its ends, then short lines again.
  const std::string big = [] {
    std::string t;
    const std::string filler(61, 'x');
    while (t.size() < ShownFile::kWindow * 2) t += filler + (t.size() % 7 ? " old\n" : "\n");
    t += "old" + std::string(ShownFile::kWindow + (1 << 20), 'y') + "old\n";
    for (int i = 0; i < 100; ++i) t += "tail old\n";
    return t;
  }();
  struct Case {
    const char* name;
    const std::string& text;
    std::size_t maxReads;
  };
  for (const Case c : {Case{"many occurrences", many, 1},
                       Case{"past the window", big, big.size() / (ShownFile::kWindow / 2) + 4}}) {
    SCOPED_TRACE(c.name);
    const std::string path = tree.write("a.txt", c.text);
    Plan p = plan(setup({testing_support::FileTarget(path)}, "old", "new"));
    ASSERT_EQ(p.files.size(), 1u);
    ShownFile file(*p.files[0]);
    ShownTexts texts;
    texts.replacement = "new";
    std::string patch = "--- a/a.txt\n+++ b/a.txt\n";
    ForEachHunk(file, *p.files[0], texts, 3, [&](const DiffHunk& hunk) {
      patch += hunk.header() + "\n";
      for (const DiffLine& line : hunk.lines) {
        patch += line.sign + std::string(line.text) +
                 (line.lastWithoutBreak ? "\n\\ No newline at end of file\n" : "");
      }
    });
    EXPECT_LE(file.reads(), c.maxReads);
    const std::string patchFile = tree.write("a.patch", patch);
    ASSERT_EQ(testing_support::run("cd '" + tree.path() + "' && patch -s -p1 < a.patch"), 0);
    std::string expected = c.text;
    for (std::size_t at = 0; (at = expected.find("old", at)) != std::string::npos; at += 3) {
      expected.replace(at, 3, "new");
    }
    EXPECT_TRUE(readFile(path) == expected) << "the patched file differs from the run's";
  }
}

}  // namespace
}  // namespace engine
