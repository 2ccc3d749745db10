#pragma once

#include <QObject>
#include <array>
#include <memory>

#include <signal.h>

class QSocketNotifier;

namespace ui {

/// SIGTERM, SIGINT and SIGHUP (a session logging out, Ctrl+C in the terminal that started the
/// program, the terminal closing) delivered to the main thread's event loop as `arrived`,
/// instead of ending the process where it stands. The handlers are installed for the life of
/// the object and the earlier ones restored afterwards; one object at a time.
class StopSignals : public QObject {
  Q_OBJECT

 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 signals:
  void arrived(int number);

 private:
  void readPending();

  int m_pipe[2] = {-1, -1};  // the handler writes the signal's number to m_pipe[1]
  std::unique_ptr<QSocketNotifier> m_notifier;
  std::array<struct sigaction, 3> m_previous{};  // of SIGTERM, SIGINT, SIGHUP
  bool m_installed = false;
};

}  // namespace ui
