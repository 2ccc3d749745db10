#pragma once

// Work that touches files, done off the window's thread: the window keeps answering (repaint,
// Esc, the window manager's ping) while a run opens, reads, writes and closes on a thread of its
// own, and the run's lines reach the list on the window's thread.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ui {

/// Lines made on a job's thread, taken on the window's thread.
class LineQueue {
 public:
  /// Adds a line; any thread.
  void push(std::string line);
  /// The lines added since the last call, oldest first; any thread.
  std::vector<std::string> take();

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

/// Runs `job` on a thread of its own and returns once it has ended, handling the calling
/// thread's events meanwhile (as a nested event loop would, also after the application was told
/// to quit: the job is always waited for). `tick` is called on the calling thread every few
/// hundredths of a second while the job runs and once after it has ended. What `job` raises is
/// raised here, after the last tick.
void RunInBackground(const std::function<void()>& job, const std::function<void()>& tick = {});

}  // namespace ui
