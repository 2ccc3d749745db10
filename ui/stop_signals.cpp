#include "ui/stop_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace ui {
namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

int g_writeEnd = -1;

// Only a write: the rest happens on the main thread when the event loop sees the byte.
extern "C" void onStopSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &byte, 1);
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("Tarvel: pipe2");
    return;
  }
  g_writeEnd = m_pipe[1];
  m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
  connect(m_notifier.get(), &QSocketNotifier::activated, this, &StopSignals::readPending);

  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (::sigaction(kSignals[i], &action, &m_previous[i]) != 0) {
      std::perror("Tarvel: sigaction");
      m_previous[i].sa_handler = SIG_DFL;
    }
  }
  m_installed = true;
}

StopSignals::~StopSignals() {
  if (m_installed) {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      ::sigaction(kSignals[i], &m_previous[i], nullptr);
    }
  }
  m_notifier.reset();
  g_writeEnd = -1;
  for (int fd : m_pipe) {
    if (fd >= 0) ::close(fd);
  }
}

void StopSignals::readPending() {
  unsigned char byte = 0;
  while (::read(m_pipe[0], &byte, 1) == 1) emit arrived(byte);
}

}  // namespace ui
