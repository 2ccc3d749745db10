// Converts one file as the window's file command does (binary files skipped), for timing a
// whole-file run; or writes generated text for it.
//   tarvel_convert_file_bench FIND REPLACE PATH [ignore-case]
//   tarvel_convert_file_bench --generate FIND BYTES PATH
// FIND and REPLACE are UTF-8; the file is CP1251. The work file is chosen in $TMPDIR (or /tmp).
// Prints what it did and the process's peak resident memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench/generated_text.h"
#include "engine/convert_file.h"
#include "platform/code_page.h"
#include "platform/error.h"

namespace {

class PrintingList : public engine::MessageList {
 public:
  void Clear() override {}
  void AddLine(const std::string& text, const std::string&) override {
    std::printf("%s\n", text.c_str());
  }
};

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Writes `bytes` of generated text, one MiB at a time so that memory stays small.
int generate(const platform::CodePage& page, const std::string& find, long long bytes,
             const char* path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::size_t occurrences = 0;
  std::uint64_t seed = 1;
  for (long long left = bytes; left > 0;) {
    const auto size = static_cast<std::size_t>(left < (1 << 20) ? left : (1 << 20));
    const bench::GeneratedText g =
        bench::generateText(size, page.encode(find), page, false, seed++);
    file.write(g.text.data(), static_cast<std::streamsize>(g.text.size()));
    occurrences += g.occurrences;
    left -= static_cast<long long>(size);
  }
  file.close();
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path);
    return 1;
  }
  std::printf("generated %s: %lld bytes, find text put in %zu times\n", path, bytes, occurrences);
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
    return generate(*page, argv[2], std::atoll(argv[3]), argv[4]);
  }
  if (argc < 4 || (argc == 5 && std::strcmp(argv[4], "ignore-case") != 0) || argc > 5) {
    std::fprintf(stderr,
                 "usage: %s FIND REPLACE PATH [ignore-case]\n"
                 "       %s --generate FIND BYTES PATH\n",
                 argv[0], argv[0]);
    return 2;
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
    const bool rewritten = engine::ConvertFile(argv[3], c);
    engine::DeleteWorkFile(c.workFile);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%s %s in %.3f s, peak resident memory %ld KiB\n",
                rewritten ? "converted" : "skipped as binary", argv[3], took.count(),
                peakResidentKiB());
    return rewritten ? 0 : 3;
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "Error %d %s\n", e.number(), e.description().c_str());
    return 1;
  }
}
