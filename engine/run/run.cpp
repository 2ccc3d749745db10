#include "engine/run/run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <climits>
#include <exception>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/file/replacement.h"
#include "engine/run/folder_walk.h"
#include "engine/run/old_files.h"
#include "engine/run/ordered_work.h"
#include "engine/text/pattern.h"
#include "engine/undo/undo.h"

namespace engine {
namespace {

using platform::Error;

// How many of `wanted` workers fit under a limit on the process's address space (ulimit -v):
// each takes its stack and its buffers, and the run keeps room for the rest of its work. A
// process that started more than fit would fail, or be ended by the C library, at its next
// allocation.
unsigned workersThatFit(unsigned wanted, std::size_t chunkSize) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  struct rlimit stack {};
  const std::uint64_t stackSize =
      getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY
          ? static_cast<std::uint64_t>(stack.rlim_cur)
          : std::uint64_t{8} << 20;
  std::uint64_t pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "re")) {
    if (std::fscanf(statm, "%" SCNu64, &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const std::uint64_t used = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  const std::uint64_t reserve = std::uint64_t{64} << 20;
  const std::uint64_t each = stackSize + 4 * static_cast<std::uint64_t>(chunkSize) + (1 << 20);
  const std::uint64_t total = static_cast<std::uint64_t>(limit.rlim_cur);
  if (total <= used + reserve) return 0;
  return static_cast<unsigned>(std::min<std::uint64_t>(wanted, (total - used - reserve) / each));
}

// The run: each target walked or opened, each file handed on to be converted or counted, and
// every result given to the sink in the order of the walk, counted as it goes.
class Runner {
 public:
  Runner(const RunRequest& request, RunSink& sink, const std::atomic<bool>& stop)
      : m_request(request), m_sink(sink), m_stop(stop) {
    m_pattern = CompiledPattern::For(request.options);
    const unsigned workers =
        request.workers > 1 ? workersThatFit(request.workers, request.chunkSize) : 0;
    m_converters.reserve(std::max(1u, workers));
    for (unsigned i = 0; i < std::max(1u, workers); ++i) {
      m_converters.push_back(std::make_unique<Conversion>(conversion(i)));
      m_converters.back()->pump = [this] {
        if (m_stop.load(std::memory_order_relaxed)) throw Stopped{};
      };
    }
    m_walk = std::make_unique<Conversion>(conversion(0));
    m_walk->pump = [this] { pumpMain(); };
    m_work = std::make_unique<OrderedWork>(
        workers, [this](unsigned worker, const FileTask& task) { return processed(worker, task); },
        [this](FileResult r) { give(std::move(r)); }, [this] { pumpMain(); });
    // Without threads the calling thread converts, and keeps the sink's waiting going.
    if (!m_work->threaded()) m_converters.front()->pump = [this] { pumpMain(); };
  }

  void target(const RunTarget& t) {
    if (t.missing) {
      failedTarget(t.path, *t.missing);
    } else if (t.folder) {
      WalkFolderTree(
          t.path, *m_walk,
          [this](const FileRef& file) {
            hand(FileTask{file.name, file.path, file.type, file.open, false});
          },
          [this](const RunItem& item) { m_work->walkItem(item); }, &m_visited);
      m_work->flushWalkItems();
    } else if (t.planned != nullptr) {
      plannedFile(t.path, t.planned->place);
    } else {
      file(t.path, true);
    }
  }

  void finish() { m_work->finish(); }
  void drain() { m_work->drain(); }

  // The run's end: every old file still open, and every one undo keeps, looked at once more.
  void lookAtOldFiles() {
    m_oldFiles.lookAtAll();
    if (m_request.undo == nullptr) return;
    m_request.undo->lookAtKept(
        [this](const std::string& path, const std::string& where, std::size_t replaced) {
          reportLate(path, WrittenDuringReplacement(where), replaced);
        });
  }

  const RunTally& tally() const { return m_tally; }
  const PathRules& excludes() const { return m_excludes; }
  const PathRules& includes() const { return m_includes; }
  bool trackFiles = false;  // several targets: a file may be reached twice

 private:
  Conversion conversion(unsigned worker) {
    Conversion c{.options = m_request.options,
                 .codePage = *m_request.codePage,
                 .workFile = m_request.workFiles ? m_request.workFiles->path(worker) : std::string(),
                 .pump = {}};
    c.chunkSize = m_request.chunkSize;
    c.copyRangesFrom = m_request.copyRangesFrom;
    c.workFileShared = m_request.workFiles == nullptr || m_request.workFiles->shared();
    c.workFolder = m_request.workFiles != nullptr ? m_request.workFiles->folder() : -1;
    c.undo = m_request.undo;
    c.lockBudget = &m_locks;
    c.pattern = m_pattern.get();
    c.excludeRules = &m_excludes;
    c.includeRules = &m_includes;
    return c;
  }

  // A file named on its own.
  void file(const std::string& path, bool named) {
    try {
      auto open = std::make_shared<OpenFolder>();
      FileInFolder at = OpenFolderOf(path);
      open->folder = std::move(at.folder);
      ReadFolderFacts(open->folder.fd(), open->facts);
      hand(FileTask{std::move(at.name), path, 0, std::move(open), named});
    } catch (const Error& e) {
      failedTarget(path, e, named);
    }
  }

  // A file of a plan, in the folder where the plan met it, reached again without a link: a
  // folder moved, swapped or replaced since leaves the file as it is.
  void plannedFile(const std::string& path, const PlannedPlace& place) {
    try {
      std::shared_ptr<const OpenFolder> open;
      if (!place.folder.empty()) open = m_reach.reach(place.folder, place.device, place.inode);
      if (!open) {
        throw Error(platform::kChanged, platform::Step::OpenFolder,
                    platform::Why::ChangedSinceReview);
      }
      hand(FileTask{place.name, path, 0, std::move(open), false});
    } catch (const Error& e) {
      failedTarget(path, e, false);
    }
  }

  void failedTarget(const std::string& path, const Error& e, bool named = true) {
    FileResult r;
    RunItem item = RunItem::FromError(path, e);
    item.named = named;
    r.items.push_back(std::move(item));
    m_work->handDone(std::move(r));
  }

  void hand(FileTask task) {
    // Several targets: a file met before (named, or found in a folder) is done already.
    if (trackFiles && !m_visited.firstFile(task.open->facts.device, task.open->facts.inode,
                                           task.name)) {
      return;
    }
    m_work->hand(std::move(task));
  }

  // The file's conversion or count, as one item; on a worker.
  FileResult processed(unsigned worker, const FileTask& task) {
    FileResult r;
    try {
      r.items.push_back(process(*m_converters[worker], task, r.replaced));
    } catch (const Stopped&) {
      r.stopped = true;
    } catch (...) {
      r.error = std::current_exception();
    }
    return r;
  }

  RunItem process(const Conversion& c, const FileTask& task, std::shared_ptr<OldFile>& replaced) {
    const FileRef file{task.open->folder.fd(), task.name, task.path, task.type, task.open};
    RunItem item;
    FileOutcome found;
    try {
      item = m_request.action->apply(file, c, found);
      replaced = std::move(found.replaced);
    } catch (const Error& e) {
      item = RunItem::FromError(task.path, e);
      item.replacements = found.replacements;  // a protected file may hold the text
    } catch (const std::bad_alloc&) {
      item = RunItem::FromError(task.path, platform::outOfMemory());
    }
    if (found.classified && found.kind != FileKind::Binary) item.encoding = found.kind;
    item.path = task.path;
    item.visited = true;
    item.named = task.named;
    return item;
  }

  // A result, on the calling thread in the order of the walk: counted and given to the sink.
  void give(FileResult r) {
    if (r.error) std::rethrow_exception(r.error);
    if (r.stopped) throw Stopped{};
    for (const RunItem& item : r.items) {
      m_tally.add(item);
      m_sink.item(item);
    }
    if (r.replaced) m_oldFiles.remember(std::move(r.replaced));
  }

  void reportLate(const std::string& path, const Error& e, std::size_t replacements) {
    RunItem item = RunItem::FromError(path, e);
    item.late = true;
    item.replacements = replacements;
    m_tally.add(item);
    m_sink.item(item);
  }

  // The calling thread's pump: a stop ends the run, the sink hears how far it is and what it
  // waits for.
  void pumpMain() {
    if (m_stop.load(std::memory_order_relaxed)) throw Stopped{};
    if (const auto lock = m_locks.waitingFor(); lock != m_lockWait) {
      m_lockWait = lock;
      m_sink.lockWait(lock);
    }
    m_sink.waiting(m_tally.files);
  }

  const RunRequest& m_request;
  std::unique_ptr<CompiledPattern> m_pattern;  // before the conversions that point into it
  PathRules m_excludes{m_request.options.excludes};  // and the walk's patterns
  PathRules m_includes{m_request.options.includes};
  RunSink& m_sink;
  const std::atomic<bool>& m_stop;
  LockBudget m_locks;  // declared before the conversions that point to it
  std::optional<platform::Why> m_lockWait;  // what the sink was told the run waits for
  OldFiles m_oldFiles{[this](const std::string& path, const Error& e, std::size_t replaced) {
    reportLate(path, e, replaced);
  }};
  std::vector<std::unique_ptr<Conversion>> m_converters;
  std::unique_ptr<Conversion> m_walk;
  RunTally m_tally;
  Visited m_visited;
  FolderReach m_reach;                  // the folders of a plan's files
  std::unique_ptr<OrderedWork> m_work;  // last: its workers end before anything they use
};

}  // namespace

RunOutcome Run(const RunRequest& request, RunSink& sink, const std::atomic<bool>& stop) {
  RunOutcome outcome;
  // A shared work file is one only: more workers would wait for one another on it.
  RunRequest effective = request;
  if (request.workFiles != nullptr) {
    effective.workers = std::min<unsigned>(request.workers,
                                           static_cast<unsigned>(request.workFiles->count()));
  }
  // One file needs one worker: the calling thread converts it.
  if (request.targets.size() == 1 && !request.targets.front().folder) effective.workers = 1;
  Runner runner(effective, sink, stop);
  runner.trackFiles = request.targets.size() > 1;
  try {
    for (const RunTarget& target : request.targets) runner.target(target);
    runner.finish();
  } catch (const Stopped&) {
    outcome.stopped = true;
    runner.drain();
  }
  runner.lookAtOldFiles();
  outcome.tally = runner.tally();
  if (!outcome.stopped) {
    outcome.unusedExcludes = runner.excludes().unused();
    outcome.unusedIncludes = runner.includes().unused();
  }
  return outcome;
}

RunTarget RunTarget::Folder(const std::string& typed) {
  RunTarget t{typed, true, std::nullopt};
  if (typed.find('/') != std::string::npos) return t;
  t.path = "./" + typed;
  if (typed == ".") {
    std::vector<char> buffer(PATH_MAX);
    if (getcwd(buffer.data(), buffer.size()) != nullptr) t.path = buffer.data();
  }
  return t;
}

unsigned DefaultWorkers() {
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  return cores > 0 ? static_cast<unsigned>(std::min(cores, 256L)) : 1u;
}

}  // namespace engine
