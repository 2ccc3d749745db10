// Runs one file as the window's file command does (binary files skipped), for timing a
// whole-file run; or writes generated text for it.
//   tarvel_convert_file_bench FIND REPLACE PATH [ignore-case]
//   tarvel_convert_file_bench --generate FIND BYTES PATH        (CP1251 text)
//   tarvel_convert_file_bench --generate-utf8 FIND BYTES PATH   (UTF-8 text, about BYTES)
//   tarvel_convert_file_bench --passes PATH ROUNDS
// FIND and REPLACE are UTF-8. The work file is chosen in $TMPDIR (or /tmp). With
// TARVEL_BENCH_UNDO set to a folder, the original is kept there for undo, as the window keeps it
// in its undo store. Prints what it did
// and the process's peak resident memory. --passes times the binary test (IsBinaryFile) and
// the classification that replaced it in the conversion, one after the other in each round,
// and prints the fastest and the median time of each in milliseconds.
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "bench/generated_text.h"
#include "engine/file/convert_file.h"
#include "engine/file/source_file.h"
#include "engine/run/run.h"
#include "engine/text/binary_test.h"
#include "engine/undo/undo.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "words/errors.h"
#include "words/run_lines.h"

namespace {

// The run's item for the file, its line printed as the window's list shows it (a binary file's);
// a failure is left to the caller.
class PrintingSink : public engine::RunSink {
 public:
  void item(const engine::RunItem& item) override {
    last = item;
    if (item.error) return;
    const std::string line = words::WindowLine(item, {});
    if (!line.empty()) std::printf("%s\n", line.c_str());
  }
  engine::RunItem last;
};

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Writes `bytes` of generated text, one MiB at a time so that memory stays small.
int generate(const platform::CodePage& page, const std::string& find, long long bytes,
             const char* path, bool utf8) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::size_t occurrences = 0;
  std::uint64_t seed = 1;
  for (long long left = bytes; left > 0;) {
    const auto size = static_cast<std::size_t>(left < (1 << 20) ? left : (1 << 20));
    const bench::GeneratedText g =
        utf8 ? bench::generateUtf8Text(size, find, page, false, seed++)
             : bench::generateText(size, page.encode(find), page, false, seed++);
    if (g.text.empty()) break;  // UTF-8: less left than one two-byte letter
    file.write(g.text.data(), static_cast<std::streamsize>(g.text.size()));
    occurrences += g.occurrences;
    left -= static_cast<long long>(utf8 ? g.text.size() : size);
  }
  file.close();
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path);
    return 1;
  }
  std::printf("generated %s: about %lld bytes, find text put in %zu times\n", path, bytes,
              occurrences);
  return 0;
}

double milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The binary test and the classification in turn, on a file the page cache holds.
int timePasses(const platform::CodePage& page, const char* path, int rounds) {
  engine::Conversion c{.options = {}, .codePage = page, .workFile = {}, .pump = {}};
  std::vector<double> binary, classify;
  engine::FileKind kind = engine::FileKind::CodePage;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    const bool isBinary = engine::IsBinaryFile(path);
    binary.push_back(milliseconds(std::chrono::steady_clock::now() - start));
    start = std::chrono::steady_clock::now();
    const std::string name = path;  // the file in the current folder, as IsBinaryFile opens it
    engine::SourceFile source(engine::FileRef{AT_FDCWD, name, name});
    kind = source.classify(c);
    classify.push_back(milliseconds(std::chrono::steady_clock::now() - start));
    if (isBinary != (kind == engine::FileKind::Binary)) {
      std::fprintf(stderr, "the two passes disagree about %s\n", path);
      return 1;
    }
  }
  std::sort(binary.begin(), binary.end());
  std::sort(classify.begin(), classify.end());
  std::printf("passes %s: kind %s; binary test fastest %.1f median %.1f; classification fastest "
              "%.1f median %.1f\n",
              path, words::KindName(kind, page.name()).c_str(), binary.front(),
              binary[binary.size() / 2], classify.front(), classify[classify.size() / 2]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto page = platform::CodePage::byName("CP1251");
  if (!page) {
    std::fprintf(stderr, "iconv does not know CP1251\n");
    return 1;
  }
  if (argc == 5 && std::strcmp(argv[1], "--generate") == 0) {
    return generate(*page, argv[2], std::atoll(argv[3]), argv[4], false);
  }
  if (argc == 5 && std::strcmp(argv[1], "--generate-utf8") == 0) {
    return generate(*page, argv[2], std::atoll(argv[3]), argv[4], true);
  }
  if (argc == 4 && std::strcmp(argv[1], "--passes") == 0) {
    return timePasses(*page, argv[2], std::atoi(argv[3]));
  }
  if (argc < 4 || (argc == 5 && std::strcmp(argv[4], "ignore-case") != 0) || argc > 5) {
    std::fprintf(stderr,
                 "usage: %s FIND REPLACE PATH [ignore-case]\n"
                 "       %s --generate FIND BYTES PATH\n"
                 "       %s --generate-utf8 FIND BYTES PATH\n"
                 "       %s --passes PATH ROUNDS\n",
                 argv[0], argv[0], argv[0], argv[0]);
    return 2;
  }
  engine::RunRequest request;
  request.targets = {{argv[3], false, std::nullopt}};
  request.options.findText = argv[1];
  request.options.replaceText = argv[2];
  request.options.caseSensitive = argc < 5;
  request.options.skipBinary = true;
  request.codePage = &*page;
  PrintingSink sink;
  try {
    const auto start = std::chrono::steady_clock::now();
    std::optional<engine::UndoJournal> undo;
    if (const char* store = std::getenv("TARVEL_BENCH_UNDO")) {
      request.undo = &undo.emplace(store, engine::RunHeader{engine::RunOrigin::Window, argv[1],
                                                            argv[2], argv[3]});
    }
    {
      // The window's work file, chosen as it chooses it; removed once the run is over.
      engine::WorkFiles work = engine::WorkFiles::Shared(engine::ChooseWorkFile(), 1);
      request.workFiles = &work;
      const std::atomic<bool> stop{false};
      engine::Run(request, sink, stop);
    }
    if (sink.last.error) throw *sink.last.error;
    if (undo && !undo->enabled()) throw *undo->problem();
    const bool rewritten = sink.last.kind == engine::RunItem::Kind::Changed ||
                           sink.last.kind == engine::RunItem::Kind::Unchanged;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%s %s in %.3f s, peak resident memory %ld KiB\n",
                rewritten ? "converted" : "skipped as binary", argv[3], took.count(),
                peakResidentKiB());
    return rewritten ? 0 : 3;
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "Error %d %s\n", e.number(), words::ErrorText(e).c_str());
    return 1;
  }
}
