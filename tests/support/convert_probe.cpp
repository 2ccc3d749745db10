// Converts one file the way the window's file command does, for tests that run it under
// strace. Usage: tarvel_convert_probe WORKFILE FIND REPLACE PATH [ignore-case] [include-binary] [copy-ranges] [reviewed]
// WORKFILE "-" takes the program's own choice (ChooseWorkFile, in TMPDIR), as a fresh start would.
// Prints "rewritten", "binary" or "Error N description"; exit status 0, 0 or 1.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "engine/file/convert_file.h"
#include "tests/support/run_transcript.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s WORKFILE FIND REPLACE PATH [ignore-case] [include-binary] [copy-ranges] [reviewed]\n",
                 argv[0]);
    return 2;
  }
  testing_support::RunSetup setup;
  setup.targets = {testing_support::FileTarget(argv[4])};
  setup.workFile = std::strcmp(argv[1], "-") == 0 ? engine::ChooseWorkFile() : argv[1];
  setup.options.findText = argv[2];
  setup.options.replaceText = argv[3];
  for (int i = 5; i < argc; ++i) {
    if (std::strcmp(argv[i], "ignore-case") == 0) setup.options.caseSensitive = false;
    if (std::strcmp(argv[i], "include-binary") == 0) setup.options.skipBinary = false;
    // The text between occurrences copied by the kernel, whatever the file's size.
    if (std::strcmp(argv[i], "copy-ranges") == 0) setup.copyRangesFrom = 0;
  }
  // Planned first, then applied with every occurrence accepted, as a review does.
  bool reviewed = false;
  for (int i = 5; i < argc; ++i) reviewed = reviewed || std::strcmp(argv[i], "reviewed") == 0;
  engine::Plan plan;
  std::optional<engine::ApplyPlan> apply;
  if (reviewed) {
    testing_support::RunSetup planning = setup;
    planning.action = &engine::PlanFiles();
    for (const engine::RunItem& item : testing_support::Record(planning).items) {
      if (item.plan) plan.files.push_back(item.plan);
    }
    apply.emplace(plan);
    setup.action = &*apply;
    setup.targets = engine::PlanTargets(plan);
  }
  const std::string verdict = testing_support::Verdict(testing_support::Record(setup));
  std::printf("%s\n", verdict.c_str());
  return verdict.starts_with("Error ") ? 1 : 0;
}
