#pragma once

// What the main window's units share.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <memory>

#include "engine/text/match_options.h"
#include "ui/program_info.h"

namespace ui {

inline QString programTitle() { return QString::fromUtf8(kProgramTitle); }

// Lets the window repaint during long loops. The engine calls it after every chunk and every
// folder entry; handing events to Qt at most every 15 ms keeps a walk over thousands of small
// files from spending its time in the event loop.
inline engine::EventPump repaintingPump() {
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  return [clock] {
    if (clock->elapsed() < 15) return;
    QCoreApplication::processEvents();
    clock->restart();
  };
}

// Thrown by the pump to end a conversion that a stop signal interrupted; the engine closes
// and removes what it had open on the way out.
struct StopRequested {};

}  // namespace ui
