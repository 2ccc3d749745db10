// The run as both faces use it, through a sink that keeps a transcript: each item as the window
// and tarvel-cli word it, and the summary. The transcript must not depend on the number of
// workers or the size of the chunks; a stop at any item leaves no file changed that the
// transcript does not name; a file reached through several targets is done once.
#include "engine/run/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"
#include "words/run_lines.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::RecordedRun;
using testing_support::RunSetup;
using testing_support::TempTree;

class RunTest : public ::testing::Test {
 protected:
  RunTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  // Files of every kind a walk meets, written afresh.
  void plant() {
    const std::string cp1251("\xcf\xf0\xe8\xe2\xe5\xf2 old", 10);  // "Привет old"
    tree.write("a.txt", "old old\n");
    tree.write("b.bin", std::string("old\0", 4));
    tree.write("c.txt", "nothing to see\n");
    tree.write("d.txt", cp1251);
    tree.write("e.txt", "Меню: Caf\xe9 old");  // almost UTF-8: refused
    tree.write("ro.txt", "old");
    chmod((tree / "ro.txt").c_str(), 0444);
    tree.write(".hidden/x.txt", "old");
    tree.write("sub/f.txt", "an old line\nold\n");
    tree.write("sub/deeper/g.txt", "old");
    tree.write("z/h.txt", "ёлка old");
    unlink((tree / "link").c_str());
    symlink("a.txt", (tree / "link").c_str());
  }

  RecordedRun run(std::vector<RunTarget> targets, unsigned workers, std::size_t chunk,
                  std::size_t stopAfter = 0, bool dryRun = false) {
    RunSetup setup;
    setup.targets = std::move(targets);
    setup.action = dryRun ? &CountFiles() : &ConvertFiles();
    setup.workers = workers;
    setup.chunkSize = chunk;
    setup.stopAfter = stopAfter;
    setup.options.findText = "old";
    setup.options.replaceText = "older";  // converted twice, it would be "olderer"
    return testing_support::Record(setup);
  }

  std::vector<RunTarget> wholeTree() const { return {RunTarget::Folder(tree.path())}; }

  TempTree m_temp;
  testing_support::ScopedEnv m_env;
  TempTree tree;
};

// The smallest chunk the find text allows, and the usual one; one worker and several.
TEST_F(RunTest, TranscriptIsTheSameForAnyWorkersAndChunks) {
  std::map<std::string, std::string> transcripts;
  for (const bool dryRun : {true, false}) {
    std::string first;
    for (const unsigned workers : {1u, 4u}) {
      for (const std::size_t chunk : {std::size_t{3}, ChunkSize}) {
        SCOPED_TRACE(std::to_string(workers) + " workers, chunk " + std::to_string(chunk));
        plant();
        const RecordedRun r = run(wholeTree(), workers, chunk, 0, dryRun);
        if (first.empty()) first = r.transcript;
        EXPECT_EQ(r.transcript, first);
        EXPECT_FALSE(r.outcome.stopped);
        const RunTally& t = r.outcome.tally;
        EXPECT_EQ(t.files, t.changed + t.unchanged + t.skipped + t.failures);
        EXPECT_EQ(t.changed, 5u) << r.transcript;   // a, d, h and two in sub
        EXPECT_EQ(t.failures, 1u) << r.transcript;  // the almost-UTF-8 file
        EXPECT_EQ(t.folders, 1u);
        EXPECT_EQ(t.links, 1u);
        EXPECT_EQ(readFile(tree / "sub/deeper/g.txt"), dryRun ? "old" : "older");
      }
    }
    transcripts[dryRun ? "dry" : "real"] = first;
  }
  // A preview says, file for file, what the run then refuses and fails.
  auto refusals = [](const std::string& transcript) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = transcript.find('\n', at)) != std::string::npos;
         at = end + 1) {
      const std::string line = transcript.substr(at, end - at);
      if (line.find("!_") != std::string::npos) lines.push_back(line);
    }
    return lines;
  };
  EXPECT_EQ(refusals(transcripts["dry"]), refusals(transcripts["real"]));
  // The binary file, the read-only one, the almost-UTF-8 one, the hidden folder, the link.
  EXPECT_EQ(refusals(transcripts["real"]).size(), 5u) << transcripts["real"];
}

// A stop at any item, with one worker or several: each file is the original or the whole
// conversion, and it is converted exactly when an item says so.
TEST_F(RunTest, StopAtEachItemLeavesNoChangeUnsaid) {
  plant();
  const std::size_t total = run(wholeTree(), 1, ChunkSize, 0, true).items.size();
  ASSERT_GT(total, 8u);
  for (const unsigned workers : {1u, 3u}) {
    for (std::size_t k = 1; k <= total; ++k) {
      SCOPED_TRACE(std::to_string(workers) + " workers, stopped after item " + std::to_string(k));
      plant();
      const RecordedRun r = run(wholeTree(), workers, 5, k);
      std::set<std::string> said;
      for (const RunItem& item : r.items) {
        if (item.kind == RunItem::Kind::Changed) said.insert(item.path);
      }
      for (const char* name : {"a.txt", "d.txt", "sub/f.txt", "sub/deeper/g.txt", "z/h.txt"}) {
        const std::string content = readFile(tree / name);
        const bool converted = content.find("older") != std::string::npos;
        EXPECT_EQ(converted, said.count(tree / name) == 1) << name << ": " << content;
      }
      EXPECT_GE(r.items.size(), k);
      if (workers == 1 && k < total) {
        EXPECT_TRUE(r.outcome.stopped);
        EXPECT_EQ(r.items.size(), k) << "one worker stops at the next file";
      }
    }
  }
}

// Targets that overlap (a folder, a folder inside it, a file in both, the same folder twice)
// do each file once, in the order the targets were given.
TEST_F(RunTest, OverlappingTargetsDoEachFileOnce) {
  plant();
  const RecordedRun r = run({RunTarget{tree / "sub/f.txt", false, std::nullopt},
                        RunTarget::Folder(tree / "sub"), RunTarget::Folder(tree.path()),
                        RunTarget::Folder(tree / "sub")},
                       3, ChunkSize);
  std::map<std::string, int> seen;
  for (const RunItem& item : r.items) {
    if (!item.folder) ++seen[item.path];
  }
  for (const auto& [path, times] : seen) EXPECT_EQ(times, 1) << path;
  ASSERT_FALSE(r.items.empty());
  EXPECT_EQ(r.items.front().path, tree / "sub/f.txt") << "the first target comes first";
  EXPECT_EQ(readFile(tree / "sub/f.txt"), "an older line\nolder\n") << "converted once";
  EXPECT_EQ(r.outcome.tally.changed, 5u);
}

// The summary after a review, as tarvel-cli gives it: the plan's count, with what the run that
// applied the plan did in place of what was planned. A file planned and not written (every
// occurrence refused) is unchanged; one changed after the review, or that could not be shown
// and so was left out of the plan, failed; the counts still add up to the files met.
TEST_F(RunTest, SummaryAfterAReviewCountsWhatTheRunWrote) {
  tree.write("a.txt", "old old\n");  // both accepted
  tree.write("b.txt", "old old\n");  // the first accepted, the second refused
  tree.write("c.txt", "old\n");      // refused
  tree.write("d.txt", "nothing\n");  // no occurrence
  tree.write("e.bin", std::string("old\0", 4));
  tree.write("f.txt", "old\n");  // changed after the review
  tree.write("g.txt", "old\n");  // could not be shown
  RunSetup s;
  s.targets = wholeTree();
  s.options.findText = "old";
  s.options.replaceText = "new";
  s.options.leaveUnmatched = true;
  s.action = &PlanFiles();
  const RecordedRun looked = testing_support::Record(s);
  Plan plan;
  std::map<std::string, std::shared_ptr<PlannedFile>> planned;
  for (const RunItem& item : looked.items) {
    if (!item.plan || item.path == tree / "g.txt") continue;
    plan.files.push_back(item.plan);
    planned[item.path] = item.plan;
  }
  ASSERT_EQ(plan.files.size(), 4u) << looked.transcript;
  planned[tree / "b.txt"]->accepted[1] = false;
  planned[tree / "c.txt"]->accepted[0] = false;
  tree.write("f.txt", "old!\n");

  const ApplyPlan apply(plan);
  s.action = &apply;
  s.targets = PlanTargets(plan);
  const RecordedRun applied = testing_support::Record(s);
  ASSERT_EQ(readFile(tree / "b.txt"), "new old\n") << applied.transcript;

  const RunTally t = looked.outcome.tally.afterApplying(applied.outcome.tally, 1);
  EXPECT_EQ(t.files, 7u);
  EXPECT_EQ(t.changed, 2u);       // a, b
  EXPECT_EQ(t.replacements, 3u);  // two in a, one in b
  EXPECT_EQ(t.unchanged, 2u);     // c, d
  EXPECT_EQ(t.skipped, 1u);       // e.bin
  EXPECT_EQ(t.failures, 2u);      // f, g
  EXPECT_EQ(t.files, t.changed + t.unchanged + t.skipped + t.failures);
}

}  // namespace
}  // namespace engine
