// tarvel-cli: the window's two commands from the command line, on the same engine.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/completions.h"
#include "cli/filter.h"
#include "cli/run.h"
#include "cli/signals.h"
#include "cli/undo_commands.h"
#include "cli/words.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/file.h"
#include "words/errors.h"

#ifndef TARVEL_VERSION
#error "TARVEL_VERSION comes from the project's version in CMake"
#endif

namespace {

// A bad call, with the usage of what was called: a replacement, or the undo store's commands.
int usageError(const std::string& reason, bool storeCommand) {
  std::fprintf(stderr, "tarvel-cli: %s\n%s\n%s\n", reason.c_str(),
               storeCommand ? cli::kStoreUsageLines : cli::kUsageLine, cli::text::kSeeHelp);
  return 2;
}

// The process as a run needs it: the standard streams open, room for descriptors, and a heap
// that neither shrinks from file to file nor grows one arena a worker. Returns which of the
// standard streams were closed (bit n for descriptor n).
unsigned prepareProcess() {
  const unsigned closedStreams = platform::openMissingStandardStreams();
  platform::raiseOpenFileLimit();
  // The engine keeps one chunk buffer or two from file to file; without this, glibc hands the
  // top of the heap back to the system whenever a larger allocation (a long text) is freed.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  mallopt(M_TOP_PAD, 1 << 20);
  // A diff of a file is made in memory and freed once written: blocks of a few megabytes come
  // from the heap, not from mappings of their own, whose removal costs every core of the run.
  mallopt(M_MMAP_THRESHOLD, 8 << 20);
  // Each worker would otherwise get a heap of its own, each reserving 64 MiB of address space:
  // under a limit on memory, threads would start and then fail to allocate anything at all.
  // Workers allocate little and seldom, so a few heaps serve them all.
  mallopt(M_ARENA_MAX, 4);
  cli::installSignalHandlers();
  return closedStreams;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace cli;
  const unsigned closedStreams = prepareProcess();
  // Into a file or a pipe, a diff of many megabytes goes out in large writes.
  static char outBuffer[1 << 18];
  if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  // The exit status, decided here alone: 0 done, 1 a failure (or no yes), 2 a bad call,
  // 128 + n stopped by signal n.
  bool ok = true;
  try {
    const Arguments a = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (a.help) {
      std::fputs(helpText(platform::CodePage::system().name(), !platform::localeIsSingleByte()).c_str(),
                 stdout);
    } else if (a.completion) {
      std::fputs(CompletionScript(*a.completion).c_str(), stdout);
    } else if (a.version) {
      std::puts("tarvel-cli " TARVEL_VERSION);
    } else if (a.runs) {
      ok = listRuns();
    } else if (a.undo) {
      ok = undoRun(*a.undo, a.dryRun, a.yes);
    } else if (a.forget) {
      ok = forgetRuns(*a.forget, a.yes);
    } else if (a.filter) {
      if ((closedStreams & 2u) != 0) {
        // The input is not read: nothing would be left of it.
        std::fprintf(stderr, "tarvel-cli: %s\n", text::kOutputClosedAtStart);
        return 2;
      }
      ok = filter(a);
    } else {
      ok = execute(a);
    }
  } catch (const UsageError& e) {
    bool storeCommand = false;
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (arg == "--") break;
      storeCommand |= arg.starts_with("--undo") || arg == "--runs" || arg.starts_with("--forget");
    }
    return usageError(e.what(), storeCommand);
  } catch (const Refusal& e) {
    std::fprintf(stderr, "tarvel-cli: %s\n", e.what());
    return 2;
  } catch (const OutputClosed&) {
    return 128 + SIGPIPE;
  } catch (const Interrupted&) {
    std::fflush(stdout);
    std::fprintf(stderr, "\ntarvel-cli: %s\n", text::kInterrupted);
    return signalStatus();
  } catch (const std::bad_alloc&) {
    // Everything on the way out has been undone (the run's work folder removed).
    const platform::Error e = platform::outOfMemory();
    std::fprintf(stderr, "tarvel-cli: %s\n", words::FailureText(e).c_str());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // A reader that went away (| head) ends the program quietly, as it ends sed; the run has
    // done its files all the same.
    if (errno == EPIPE) return 128 + SIGPIPE;
    std::fprintf(stderr, "tarvel-cli: %s\n", text::kReportFailed);
    return 1;
  }
  return ok ? 0 : 1;
}
