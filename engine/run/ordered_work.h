#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/file/file_ref.h"
#include "engine/run/old_files.h"
#include "engine/run/run_item.h"

namespace engine {

// Thrown by a run's pumps once it is to stop; the conversion at hand cleans up on its way out.
struct Stopped {};

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

// Files done a file at a time on the calling thread, or, with workers, on threads of their own;
// either way every result is given back on the calling thread in the order the files were
// handed in, with the walk's own items in their places between them.
class OrderedWork {
 public:
  // Does one file on worker `worker` (the calling thread's is 0 when there are no threads).
  using Process = std::function<FileResult(unsigned worker, const FileTask& task)>;
  // Takes one result on the calling thread; may throw Stopped.
  using Give = std::function<void(FileResult result)>;
  // Called on the calling thread while it waits; may throw Stopped.
  using Pump = std::function<void()>;

  // Starts as many of `workers` threads as the system lets start (a limit on processes or on
  // memory may stop them short); with none, the calling thread does every file.
  OrderedWork(unsigned workers, Process process, Give give, Pump pump);
  ~OrderedWork() { stop(); }
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  bool threaded() const { return !m_threads.empty(); }

  // Hands a file over: done at once without threads, else queued (waiting while too many are on
  // their way, so that memory stays bounded).
  void hand(FileTask task);
  // A result that needs no worker, in its place among the others.
  void handDone(FileResult result);
  // An item of the walk's own (a folder not entered), given with the next file or result.
  void walkItem(const RunItem& item) { m_walkResult.items.push_back(item); }
  // Gives the walk's items held so far, in their place.
  void flushWalkItems();
  // Waits for every file handed in and gives the last results.
  void finish();
  // After a stop: every file that was done, before or after the one that stopped first, is
  // still given, in order; a worker's unforeseen failure among them is raised after.
  void drain();
  // The files not begun are left alone; the workers end the files they hold.
  void stop();

 private:
  struct Slot {
    bool done = false;
    FileResult result;
  };

  bool frontDoneLocked() const { return !m_slots.empty() && m_slots.front().done; }
  void moveWalkItemsLocked();
  void flushLocked(std::unique_lock<std::mutex>& lock);
  void waitForFrontLocked(std::unique_lock<std::mutex>& lock);
  void work(unsigned worker);

  Process m_process;
  Give m_give;
  Pump m_pump;
  FileResult m_walkResult;

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

}  // namespace engine
