#pragma once

#include <atomic>

namespace cli {

/// Thrown from the event pump when a signal asked the program to stop; not a platform::Error,
/// so the walk does not turn it into a failure line but lets it through.
struct Interrupted {};

/// Thrown where standard output has no reader any more (EPIPE): the program ends quietly, as
/// sed and grep end when the reader of their output goes away.
struct OutputClosed {};

/// SIGINT, SIGTERM and SIGHUP stop the run (between chunks, or in any wait); SIGPIPE is
/// ignored, so that a run whose reader went away finishes its files.
void installSignalHandlers();

/// Throws Interrupted once a stopping signal has come.
void stopIfSignalled();

/// Set by a stopping signal, for the engine's run to stop between chunks.
const std::atomic<bool>& stopFlag();

/// The exit status for the signal that stopped the run: 128 + its number.
int signalStatus();

}  // namespace cli
