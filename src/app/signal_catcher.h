// SIGTERM, SIGINT and SIGHUP, caught so that no signal kills the program before it can end in
// order. CatchTerminationSignals, called first thing in main, installs handlers that only note the
// signal and write its number to a pipe: the headless Save polls TerminationSignal() from its walk,
// and the window's TerminationSignals (termination_signals.h) reads the pipe from its event loop.
#pragma once

namespace quorvale::app {

void CatchTerminationSignals();

// The last termination signal caught, 0 if none.
int TerminationSignal();

// The reading end of the pipe the handlers write the signals' numbers to (non-blocking), or -1.
int TerminationSignalPipe();

// Thrown through a comparison or a search when a termination signal asks it to stop.
struct StoppedBySignal {
    int signal;
};

// Throws StoppedBySignal once a termination signal was caught; a comparison's or a search's check.
void StopIfSignalled();

// Says on stderr which signal stopped the program; returns the status to end with (128 + it).
int ReportStopped(const StoppedBySignal& stopped);

}  // namespace quorvale::app
