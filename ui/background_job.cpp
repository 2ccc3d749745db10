#include "ui/background_job.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <exception>
#include <thread>
#include <utility>

namespace ui {

void LineQueue::push(std::string line) {
  const std::lock_guard lock(m_mutex);
  m_lines.push_back(std::move(line));
}

std::vector<std::string> LineQueue::take() {
  const std::lock_guard lock(m_mutex);
  return std::exchange(m_lines, {});
}

void RunInBackground(const std::function<void()>& job, const std::function<void()>& tick) {
  // How often the job's progress is shown: often enough to look live, seldom enough that a
  // run of small files does not spend its time laying out lines one at a time.
  constexpr int kTickMs = 40;
  std::atomic<bool> done{false};
  std::exception_ptr failure;
  QObject waker;  // its posted call wakes the loop below once the job has ended
  QTimer timer;
  if (tick) {
    QObject::connect(&timer, &QTimer::timeout, &waker, [&tick] { tick(); });
    timer.start(kTickMs);
  }
  std::thread worker([&] {
    try {
      job();
    } catch (...) {
      failure = std::current_exception();
    }
    done = true;
    QMetaObject::invokeMethod(
        &waker, [] {}, Qt::QueuedConnection);
  });
  // Not a QEventLoop: once the application is told to quit, a new one would return at once,
  // while this keeps handling events until the job's files are closed.
  while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  worker.join();
  timer.stop();
  if (tick) tick();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace ui
