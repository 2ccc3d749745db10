#include "engine/run/run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file/replacement.h"
#include "engine/run/folder_walk.h"
#include "engine/run/old_files.h"
#include "engine/undo/undo.h"

namespace engine {
namespace {

using platform::Error;

// Thrown by the pumps once the run is to stop; the conversion at hand cleans up on its way out.
struct Stopped {};

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

// One file to convert or count: all that a worker needs, its folder kept open.
struct FileTask {
  std::string name;
  std::string path;
  unsigned char type = 0;
  std::shared_ptr<const OpenFolder> open;
  bool named = false;
};

// What one file gave (its item), or the walk's own items between two files.
struct FileResult {
  std::vector<RunItem> items;
  std::shared_ptr<OldFile> replaced;  // the old file of a conversion, for a later look
  bool stopped = false;
  std::exception_ptr error;  // a worker's unforeseen failure, raised again on the calling thread
};

// The run: a file at a time on the calling thread, or, with several workers, on threads of its
// own, each with its own work file. Either way the results reach the sink in the order the
// files were handed in.
class Runner {
 public:
  Runner(const RunRequest& request, RunSink& sink, const std::atomic<bool>& stop)
      : m_request(request), m_sink(sink), m_stop(stop) {
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
    // As many workers as the system lets start (a limit on processes or on memory may stop
    // them short); with none, the calling thread converts, and keeps the sink's waiting going.
    for (unsigned i = 0; i < workers; ++i) {
      try {
        m_threads.emplace_back([this, i] { work(*m_converters[i]); });
      } catch (const std::system_error&) {
        break;
      }
    }
    if (m_threads.empty()) m_converters.front()->pump = [this] { pumpMain(); };
    m_capacity = 4 * std::max<std::size_t>(1, m_threads.size());
  }

  ~Runner() { stopWorkers(); }

  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  void target(const RunTarget& t) {
    if (t.missing) {
      FileResult r;
      RunItem item = RunItem::FromError(t.path, *t.missing);
      item.named = true;
      r.items.push_back(std::move(item));
      handDone(std::move(r));
    } else if (t.folder) {
      WalkFolderTree(
          t.path, *m_walk,
          [this](const FileRef& file) {
            hand(FileTask{file.name, file.path, file.type, file.open, false});
          },
          [this](const RunItem& item) { m_walkResult.items.push_back(item); }, &m_visited);
      flushWalkLines();
    } else {
      file(t.path);
    }
  }

  // After a stop: every file that was done, before or after the one that stopped first, is
  // still given, in order.
  void drain() {
    stopWorkers();
    std::exception_ptr error;  // a worker's unforeseen failure is not lost in a stop
    std::deque<Slot> slots = std::exchange(m_slots, {});
    if (!m_walkResult.items.empty()) slots.push_back(Slot{true, std::exchange(m_walkResult, {})});
    for (Slot& slot : slots) {
      if (!slot.done || slot.result.stopped) continue;
      if (slot.result.error) {
        if (!error) error = slot.result.error;
        continue;
      }
      apply(std::move(slot.result));
    }
    if (error) std::rethrow_exception(error);
  }

  // Waits for every file handed in and puts the last results into the sink.
  void finish() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_slots.empty()) {
      flushLocked(lock);
      if (m_slots.empty()) break;
      m_done.wait_for(lock, std::chrono::milliseconds(50), [this] { return frontDoneLocked(); });
      lock.unlock();
      pumpMain();
      lock.lock();
    }
  }

  const RunTally& tally() const { return m_tally; }
  bool trackFiles = false;  // several targets: a file may be reached twice

 private:
  Conversion conversion(unsigned worker) {
    Conversion c{.options = m_request.options,
                 .codePage = *m_request.codePage,
                 .workFile = m_request.workFiles ? m_request.workFiles->path(worker) : std::string(),
                 .pump = {}};
    c.chunkSize = m_request.chunkSize;
    c.workFileShared = m_request.workFiles == nullptr || m_request.workFiles->shared();
    c.workFolder = m_request.workFiles != nullptr ? m_request.workFiles->folder() : -1;
    c.undo = m_request.undo;
    c.lockBudget = &m_locks;
    return c;
  }

  // A file named on its own.
  void file(const std::string& path) {
    try {
      auto open = std::make_shared<OpenFolder>();
      FileInFolder at = OpenFolderOf(path);
      open->folder = std::move(at.folder);
      ReadFolderFacts(open->folder.fd(), open->facts);
      hand(FileTask{std::move(at.name), path, 0, std::move(open), true});
    } catch (const Error& e) {
      FileResult r;
      RunItem item = RunItem::FromError(path, e);
      item.named = true;
      r.items.push_back(std::move(item));
      handDone(std::move(r));
    }
  }

  // The file's conversion or count, as one item.
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

  // ---- Order

  struct Slot {
    bool done = false;
    FileResult result;
  };

  FileResult processed(Conversion& c, const FileTask& task) {
    FileResult r;
    try {
      r.items.push_back(process(c, task, r.replaced));
    } catch (const Stopped&) {
      r.stopped = true;
    } catch (...) {
      r.error = std::current_exception();
    }
    return r;
  }

  // Hands a file over: converted at once without workers, else queued for them (waiting while
  // too many are on their way, so that memory stays bounded).
  void hand(FileTask task) {
    // Several targets: a file met before (named, or found in a folder) is done already.
    if (trackFiles && !m_visited.firstFile(task.open->facts.device, task.open->facts.inode,
                                           task.name)) {
      return;
    }
    if (m_threads.empty()) {
      flushWalkLines();
      apply(processed(*m_converters.front(), task));
      pumpMain();
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    flushLocked(lock);
    while (m_slots.size() >= m_capacity) {
      flushLocked(lock);
      if (m_slots.size() < m_capacity) break;
      m_done.wait_for(lock, std::chrono::milliseconds(50), [this] { return frontDoneLocked(); });
      lock.unlock();
      pumpMain();
      lock.lock();
    }
    moveWalkLinesLocked();
    m_slots.emplace_back();
    m_tasks.push_back({m_base + m_slots.size() - 1, std::move(task)});
    lock.unlock();
    m_wake.notify_one();
  }

  // A result that needs no worker, in its place among the others.
  void handDone(FileResult r) {
    if (m_threads.empty()) {
      flushWalkLines();
      apply(std::move(r));
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    moveWalkLinesLocked();
    m_slots.push_back(Slot{true, std::move(r)});
    flushLocked(lock);
  }

  // A result at the front is ready to be given: a completion signalled while the calling
  // thread was busy giving the others is not waited for again.
  bool frontDoneLocked() const { return !m_slots.empty() && m_slots.front().done; }

  // The walk's own items (folders not entered, failures) take their place between the files
  // around them.
  void moveWalkLinesLocked() {
    if (m_walkResult.items.empty()) return;
    m_slots.push_back(Slot{true, std::move(m_walkResult)});
    m_walkResult = FileResult{};
  }

  void flushWalkLines() {
    if (m_threads.empty()) {
      if (!m_walkResult.items.empty()) apply(std::exchange(m_walkResult, FileResult{}));
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    moveWalkLinesLocked();
    flushLocked(lock);
  }

  // Puts every finished result at the front into the sink, in order; the lock is let go while
  // they are given. A file stopped on its way ends the run there, the results after it kept for
  // drain().
  void flushLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<FileResult> ready;
    while (!m_slots.empty() && m_slots.front().done && !m_slots.front().result.stopped) {
      ready.push_back(std::move(m_slots.front().result));
      m_slots.pop_front();
      ++m_base;
    }
    if (!ready.empty()) {
      lock.unlock();
      for (FileResult& r : ready) apply(std::move(r));
      lock.lock();
    }
    if (!m_slots.empty() && m_slots.front().done && m_slots.front().result.stopped) {
      throw Stopped{};
    }
  }

  // Stopped early: the files not begun are left alone; the workers end the files they hold
  // (between two chunks, the file left as it was, or done).
  void stopWorkers() {
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_closing = true;
      m_tasks.clear();
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
  }

  void apply(FileResult r) {
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

 public:
  // The run's end: every old file still open, and every one undo keeps, looked at once more.
  void lookAtOldFiles() {
    m_oldFiles.lookAtAll();
    if (m_request.undo == nullptr) return;
    m_request.undo->lookAtKept(
        [this](const std::string& path, const std::string& where, std::size_t replaced) {
          reportLate(path, WrittenDuringReplacement(where), replaced);
        });
  }

 private:
  // The calling thread's pump: a stop ends the run, the sink hears how far it is.
  void pumpMain() {
    if (m_stop.load(std::memory_order_relaxed)) throw Stopped{};
    if (const auto lock = m_locks.waitingFor(); lock != m_lockWait) {
      m_lockWait = lock;
      m_sink.lockWait(lock);
    }
    m_sink.waiting(m_tally.files);
  }

  void work(Conversion& c) {
    for (;;) {
      std::pair<std::size_t, FileTask> task;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [this] { return m_closing || !m_tasks.empty(); });
        if (m_tasks.empty()) return;  // closing
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
      }
      FileResult r = processed(c, task.second);
      {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_slots[task.first - m_base].done = true;
        m_slots[task.first - m_base].result = std::move(r);
      }
      m_done.notify_all();
    }
  }

  const RunRequest& m_request;
  RunSink& m_sink;
  const std::atomic<bool>& m_stop;
  LockBudget m_locks;  // declared before the conversions that point to it
  std::optional<platform::Why> m_lockWait;  // what the sink was told the run waits for
  OldFiles m_oldFiles{[this](const std::string& path, const Error& e, std::size_t replaced) {
    reportLate(path, e, replaced);
  }};
  std::vector<std::unique_ptr<Conversion>> m_converters;
  std::unique_ptr<Conversion> m_walk;
  FileResult m_walkResult;
  RunTally m_tally;
  Visited m_visited;

  std::mutex m_mutex;
  std::condition_variable m_wake;  // workers: a task or the end
  std::condition_variable m_done;  // the calling thread: a result
  std::deque<Slot> m_slots;        // results on their way, in the order of the files
  std::size_t m_base = 0;          // the number of the slot at the front
  std::deque<std::pair<std::size_t, FileTask>> m_tasks;
  std::size_t m_capacity = 4;
  bool m_closing = false;
  std::vector<std::thread> m_threads;
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
