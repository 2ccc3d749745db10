// Converts one file the way the window's file command does, for tests that run it under
// strace. Usage: tarvel_convert_probe WORKFILE FIND REPLACE PATH [ignore-case] [include-binary]
// WORKFILE "-" takes the program's own choice (ChooseWorkFile, in TMPDIR), as a fresh start would.
// Prints "rewritten", "binary" or "Error N description"; exit status 0, 0 or 1.
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/file/convert_file.h"
#include "platform/error.h"
#include "words/errors.h"

namespace {

class PrintingList : public engine::MessageList {
 public:
  void Clear() override {}
  void AddLine(const std::string& text, const std::string&) override {
    std::printf("%s\n", text.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s WORKFILE FIND REPLACE PATH [ignore-case] [include-binary]\n",
                 argv[0]);
    return 2;
  }
  PrintingList list;
  const auto page = platform::CodePage::byName("CP1251");
  engine::Conversion c{.options = {}, .messages = list, .codePage = *page, .workFile = argv[1], .pump = {}};
  if (c.workFile == "-") c.workFile = engine::ChooseWorkFile();
  c.options.findText = argv[2];
  c.options.replaceText = argv[3];
  for (int i = 5; i < argc; ++i) {
    if (std::strcmp(argv[i], "ignore-case") == 0) c.options.caseSensitive = false;
    if (std::strcmp(argv[i], "include-binary") == 0) c.options.skipBinary = false;
  }
  try {
    std::printf("%s\n", engine::ConvertFile(argv[4], c) ? "rewritten" : "binary");
    return 0;
  } catch (const platform::Error& e) {
    std::printf("Error %d %s\n", e.number(), words::ErrorText(e).c_str());
    return 1;
  }
}
