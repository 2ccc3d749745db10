#include "cli/filter.h"

#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "cli/job.h"
#include "cli/review.h"
#include "cli/signals.h"
#include "cli/words.h"
#include "engine/file/convert_stream.h"
#include "engine/text/pattern.h"
#include "words/run_lines.h"

namespace cli {
bool filter(const Arguments& a) {
  const Job job = prepare(a);
  stopIfSignalled();
  engine::Conversion c{.options = {}, .codePage = *job.page, .workFile = {},
                       .pump = [] { stopIfSignalled(); }};
  job.setTexts(c.options);
  c.options.caseSensitive = !a.ignoreCase;
  c.options.exactLineBreaks = a.exactLineBreaks;
  c.options.wholeWords = a.wholeWords;
  c.options.regex = a.regex;
  c.options.preserveCase = a.preserveCase;
  const std::unique_ptr<engine::CompiledPattern> compiled = engine::CompiledPattern::For(c.options);
  c.pattern = compiled.get();
  c.options.skipBinary = !a.includeBinary;
  c.options.encoding = job.encoding;
  c.options.asciiAsUtf8 = !platform::localeIsSingleByte();
  try {
    // A diff goes where the text does not: to standard output when only the diff is wanted.
    std::FILE* diffTo = a.dryRun ? stdout : stderr;
    const engine::Showing showing(c.options, *job.page);
    const bool colour = UseColour(a.color, fileno(diffTo));
    engine::ShowStream shown;
    if (a.diff) {
      shown = [&](const engine::PlannedFile& plan, int spooled) {
        PrintDiff(diffTo, plan, showing, colour, spooled);
        std::fflush(diffTo);
      };
    }
    const engine::FileOutcome outcome =
        engine::ConvertStream(STDIN_FILENO, STDOUT_FILENO, c, shown, !a.dryRun);
    if (outcome.kind == engine::FileKind::Binary) {
      std::fprintf(stderr, "tarvel-cli: %s\n", text::kBinaryInput);
    }
    return true;
  } catch (const platform::Error& e) {
    if (e.cause() == std::errc::broken_pipe) throw OutputClosed{};
    engine::RunItem item = engine::RunItem::FromError("-", e);
    item.named = true;
    std::fprintf(stderr, "tarvel-cli: %s\n",
                 words::TerminalLine(item, {job.page->name(), false}, true).c_str());
    return false;
  }
}

}  // namespace cli
