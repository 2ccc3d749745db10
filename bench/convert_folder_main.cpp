// Converts a folder tree as the window's folder command does with its default settings
// (binary files skipped, case-sensitive, no extension filter), for timing a folder run.
//   tarvel_convert_folder_bench FIND REPLACE DIR [ignore-case]
// FIND and REPLACE are UTF-8; the files are CP1251. The work file is chosen in $TMPDIR (or /tmp).
// With TARVEL_BENCH_UNDO set to a folder, each replaced file's original is kept there for undo,
// as the window keeps it in its undo store.
// Prints the message list's lines, then the time and the process's peak resident memory.
// Exit status: 0 when the walk reported nothing, 3 when it reported lines, 1 on a failure.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "engine/convert_file.h"
#include "engine/folder_walk.h"
#include "engine/undo.h"
#include "platform/code_page.h"
#include "platform/error.h"

namespace {

class PrintingList : public engine::MessageList {
 public:
  void Clear() override {}
  void AddLine(const std::string& text, const std::string&) override {
    std::printf("%s\n", text.c_str());
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
  PrintingList list;
  engine::Conversion c{
      .options = {}, .messages = list, .codePage = *page, .workFile = {}, .pump = {}};
  try {
    c.options.findText = argv[1];
    c.options.replaceText = argv[2];
    c.options.caseSensitive = argc < 5;
    c.options.skipBinary = true;
    const auto start = std::chrono::steady_clock::now();
    c.workFile = engine::ChooseWorkFile();
    std::optional<engine::UndoJournal> undo;
    if (const char* store = std::getenv("TARVEL_BENCH_UNDO")) {
      c.undo = &undo.emplace(store, engine::RunHeader{engine::RunOrigin::Window, argv[1], argv[2],
                                                      argv[3]});
    }
    engine::ConvertFolderTree(argv[3], c);
    if (undo && !undo->enabled()) throw platform::Error(1, "undo: " + undo->problem());
    engine::DeleteWorkFile(c.workFile);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "converted %s in %.3f s, %zu lines, peak resident memory %ld KiB\n",
                 argv[3], took.count(), list.lines(), peakResidentKiB());
    return list.lines() == 0 ? 0 : 3;
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "Error %d %s\n", e.number(), e.description().c_str());
    return 1;
  }
}
