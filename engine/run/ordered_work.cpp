#include "engine/run/ordered_work.h"

#include <chrono>
#include <system_error>

namespace engine {

OrderedWork::OrderedWork(unsigned workers, Process process, Give give, Pump pump)
    : m_process(std::move(process)), m_give(std::move(give)), m_pump(std::move(pump)) {
  for (unsigned i = 0; i < workers; ++i) {
    try {
      m_threads.emplace_back([this, i] { work(i); });
    } catch (const std::system_error&) {
      break;
    }
  }
  // Enough files on their way that the walk seldom waits for the slowest of them, and that
  // the threads wake one another seldom; few enough that what they hold stays small.
  m_capacity = 32 * std::max<std::size_t>(1, m_threads.size());
}

void OrderedWork::hand(FileTask task) {
  if (m_threads.empty()) {
    flushWalkItems();
    FileResult r = m_process(0, task);
    m_give(std::move(r));
    m_pump();
    return;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  flushLocked(lock);
  while (m_slots.size() >= m_capacity) {
    flushLocked(lock);
    if (m_slots.size() < m_capacity) break;
    waitForFrontLocked(lock);
  }
  moveWalkItemsLocked();
  m_slots.emplace_back();
  m_tasks.push_back({m_base + m_slots.size() - 1, std::move(task)});
  lock.unlock();
  m_wake.notify_one();
}

void OrderedWork::handDone(FileResult result) {
  if (m_threads.empty()) {
    flushWalkItems();
    m_give(std::move(result));
    return;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  moveWalkItemsLocked();
  m_slots.push_back(Slot{true, std::move(result)});
  flushLocked(lock);
}

void OrderedWork::flushWalkItems() {
  if (m_threads.empty()) {
    if (!m_walkResult.items.empty()) m_give(std::exchange(m_walkResult, FileResult{}));
    return;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  moveWalkItemsLocked();
  flushLocked(lock);
}

void OrderedWork::finish() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_slots.empty()) {
    flushLocked(lock);
    if (m_slots.empty()) break;
    waitForFrontLocked(lock);
  }
}

void OrderedWork::drain() {
  stop();
  std::exception_ptr error;  // a worker's unforeseen failure is not lost in a stop
  std::deque<Slot> slots = std::exchange(m_slots, {});
  if (!m_walkResult.items.empty()) slots.push_back(Slot{true, std::exchange(m_walkResult, {})});
  for (Slot& slot : slots) {
    if (!slot.done || slot.result.stopped) continue;
    if (slot.result.error) {
      if (!error) error = slot.result.error;
      continue;
    }
    m_give(std::move(slot.result));
  }
  if (error) std::rethrow_exception(error);
}

void OrderedWork::stop() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = true;
    m_tasks.clear();
  }
  m_wake.notify_all();
  for (std::thread& t : m_threads) t.join();
  m_threads.clear();
}

// The walk's own items (folders not entered, failures) take their place between the files
// around them.
void OrderedWork::moveWalkItemsLocked() {
  if (m_walkResult.items.empty()) return;
  m_slots.push_back(Slot{true, std::move(m_walkResult)});
  m_walkResult = FileResult{};
}

// Gives every finished result at the front, in order; the lock is let go while they are given.
// A file stopped on its way ends the run there, the results after it kept for drain().
void OrderedWork::flushLocked(std::unique_lock<std::mutex>& lock) {
  std::vector<FileResult> ready;
  while (!m_slots.empty() && m_slots.front().done && !m_slots.front().result.stopped) {
    ready.push_back(std::move(m_slots.front().result));
    m_slots.pop_front();
    ++m_base;
  }
  if (!ready.empty()) {
    lock.unlock();
    for (FileResult& r : ready) m_give(std::move(r));
    lock.lock();
  }
  if (!m_slots.empty() && m_slots.front().done && m_slots.front().result.stopped) {
    throw Stopped{};
  }
}

// Waits a moment for the result at the front (one signalled while the calling thread was busy
// giving the others is not waited for again), then pumps with the lock let go.
void OrderedWork::waitForFrontLocked(std::unique_lock<std::mutex>& lock) {
  m_done.wait_for(lock, std::chrono::milliseconds(50), [this] { return frontDoneLocked(); });
  lock.unlock();
  m_pump();
  lock.lock();
}

void OrderedWork::work(unsigned worker) {
  for (;;) {
    std::pair<std::size_t, FileTask> task;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [this] { return m_closing || !m_tasks.empty(); });
      if (m_tasks.empty()) return;  // closing
      task = std::move(m_tasks.front());
      m_tasks.pop_front();
    }
    FileResult r = m_process(worker, task.second);
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_slots[task.first - m_base].done = true;
      m_slots[task.first - m_base].result = std::move(r);
    }
    m_done.notify_all();
  }
}

}  // namespace engine
