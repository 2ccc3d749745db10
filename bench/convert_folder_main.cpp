// Converts a folder tree as the window's folder command does with its default settings
// (binary files skipped, case-sensitive, no extension filter, every visited file rewritten, as
// many workers as the processor has cores, the work files of a folder run), for timing a
// folder run.
//   tarvel_convert_folder_bench FIND REPLACE DIR [ignore-case]
// FIND and REPLACE are UTF-8; the files are CP1251. The work files are in a folder of the run's
// own in $TMPDIR (or /tmp), else the shared ones chosen there.
// With TARVEL_BENCH_UNDO set to a folder, each replaced file's original is kept there for undo,
// as the window keeps it in its undo store.
// Prints the message list's lines, then the time and the process's peak resident memory.
// Exit status: 0 when the walk reported nothing, 3 when it reported lines, 1 on a failure.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "engine/file/convert_file.h"
#include "engine/run/run.h"
#include "engine/undo/undo.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "words/errors.h"
#include "words/run_lines.h"

namespace {

// The window's list: each item's line, as the window words it.
class PrintingSink : public engine::RunSink {
 public:
  void item(const engine::RunItem& item) override {
    const std::string line = words::WindowLine(item, {});
    if (line.empty()) return;
    std::printf("%s\n", line.c_str());
    ++m_lines;
  }
  std::size_t lines() const { return m_lines; }

 private:
  std::size_t m_lines = 0;
};

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5 || (argc == 5 && std::strcmp(argv[4], "ignore-case") != 0)) {
    std::fprintf(stderr, "usage: %s FIND REPLACE DIR [ignore-case]\n", argv[0]);
    return 2;
  }
  const auto page = platform::CodePage::byName("CP1251");
  if (!page) {
    std::fprintf(stderr, "iconv does not know CP1251\n");
    return 1;
  }
  PrintingSink sink;
  try {
    engine::RunRequest request;
    request.options.findText = argv[1];
    request.options.replaceText = argv[2];
    request.options.caseSensitive = argc < 5;
    request.options.skipBinary = true;
    request.options.asciiAsUtf8 = true;
    request.codePage = &*page;
    request.targets = {{argv[3], true, std::nullopt}};
    request.workers = engine::DefaultWorkers();
    const auto start = std::chrono::steady_clock::now();
    const std::string workFile = engine::ChooseWorkFile();
    engine::WorkFiles workFiles = engine::WorkFiles::ForFolderRun(workFile, request.workers);
    request.workFiles = &workFiles;
    std::optional<engine::UndoJournal> undo;
    if (const char* store = std::getenv("TARVEL_BENCH_UNDO")) {
      request.undo = &undo.emplace(
          store, engine::RunHeader{engine::RunOrigin::Window, argv[1], argv[2], argv[3]});
    }
    const std::atomic<bool> stop{false};
    engine::Run(request, sink, stop);
    if (undo && !undo->enabled()) throw *undo->problem();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "converted %s in %.3f s, %zu lines, peak resident memory %ld KiB\n",
                 argv[3], took.count(), sink.lines(), peakResidentKiB());
    return sink.lines() == 0 ? 0 : 3;
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "Error %d %s\n", e.number(), words::ErrorText(e).c_str());
    return 1;
  }
}
