#include "engine/file/convert_stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "engine/file/source_file.h"
#include "platform/error.h"
#include "platform/temp_folder.h"

namespace engine {
namespace {

using platform::Error;
using platform::File;

// An unnamed file for a stream: in the temporary folder, else in memory.
File unnamedFile() {
  File file(::open(platform::temporaryFolder().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!file.isOpen()) file = File(memfd_create("tarvel", MFD_CLOEXEC));
  if (!file.isOpen()) platform::raiseSystemError(errno, platform::Step::CreateTemporaryFile);
  return file;
}

// All of `in`, into `to`, however long.
void spool(int in, File& to, const EventPump& pump) {
  std::vector<char> block(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in, block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) {
        if (pump) pump();  // a signal may end the wait
        continue;
      }
      platform::raiseSystemError(errno, platform::Step::ReadInput);
    }
    if (n == 0) return;
    to.writeAll(std::string_view(block.data(), static_cast<std::size_t>(n)),
                platform::Step::WriteTemporaryFile);
    if (pump) pump();
  }
}

void rewind(File& file) {
  if (lseek(file.fd(), 0, SEEK_SET) != 0) {
    platform::raiseSystemError(errno, platform::Step::ReadTemporaryFile);
  }
}

}  // namespace

FileOutcome ConvertStream(int in, int out, const Conversion& c) {
  return ConvertStream(in, out, c, {}, true);
}

FileOutcome ConvertStream(int in, int out, const Conversion& c, const ShowStream& shown,
                          bool write) {
  File input = unnamedFile();
  spool(in, input, c.pump);
  rewind(input);
  const std::string name, path = "-";
  const FileRef ref(AT_FDCWD, name, path);  // kept by the files read below, which name it
  if (shown) {
    File planned(fcntl(input.fd(), F_DUPFD_CLOEXEC, 0));
    if (!planned.isOpen()) platform::raiseSystemError(errno, platform::Step::ReadTemporaryFile);
    SourceFile planning(ref, std::move(planned));
    FileOutcome found;
    const PlannedFile plan = PlanOccurrences(planning, c, found);
    if (plan.kind != FileKind::Binary && !plan.occurrences.empty()) shown(plan, input.fd());
    if (!write) return found;
    rewind(input);
  }
  SourceFile reading(ref, std::move(input));
  FileOutcome outcome;
  outcome.kind = reading.classify(c);
  outcome.classified = true;
  // A binary input goes out as it came: the spooled copy is already whole.
  File result;
  if (outcome.kind != FileKind::Binary) {
    result = unnamedFile();
    outcome.replacements =
        reading.stream(c, outcome.kind, [&](std::string_view piece, std::size_t) {
          result.writeAll(piece, platform::Step::WriteTemporaryFile);
        });
  }
  const File& whole = result.isOpen() ? result : reading.file();
  const struct stat done = whole.status(platform::Step::WriteTemporaryFile);
  File output(fcntl(out, F_DUPFD_CLOEXEC, 0));
  if (!output.isOpen()) platform::raiseSystemError(errno, platform::Step::WriteOutput);
  // A reader that takes nothing more (a full pipe) is waited for until a signal stops the wait.
  platform::copyStart(whole.fd(), output, done.st_size, platform::Step::WriteOutput,
                      c.pump);
  return outcome;
}

}  // namespace engine
