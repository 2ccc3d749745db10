#include "cli/signals.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

namespace cli {
namespace {

// Written by the handler, read by every thread that converts: a lock-free atomic, which a
// signal handler may use.
std::atomic<int> g_signal{0};
std::atomic<bool> g_stop{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

extern "C" void onSignal(int number) {
  const int saved = errno;
  g_signal.store(number, std::memory_order_relaxed);
  g_stop.store(true, std::memory_order_relaxed);
  errno = saved;
}

}  // namespace

// Without SA_RESTART: a signal interrupts a blocked wait, which then sees EINTR and ends the
// run. The engine's calls on regular files are not interrupted, and where they are they try
// again; the run stops at the next chunk. A reader of the report that went away (SIGPIPE)
// does not stop the run: the files are finished and the failed output gives status 1.
void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(number, &action, nullptr) != 0) std::perror("tarvel-cli: sigaction");
  }
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) std::perror("tarvel-cli: signal");
}

void stopIfSignalled() {
  if (g_signal.load(std::memory_order_relaxed) != 0) throw Interrupted{};
}

const std::atomic<bool>& stopFlag() { return g_stop; }

int signalStatus() { return 128 + g_signal.load(std::memory_order_relaxed); }

}  // namespace cli
