// The signals that end a command early: Ctrl-C (SIGINT), SIGTERM (logout,
// timeout, a service manager) and SIGHUP (the terminal went away). Each is
// only noted; the long work polls Interrupted() and ends cleanly (a deep scan
// keeps its log for --resume), and the command exits with 128 + the signal.
#pragma once

// Installs the handler for the three signals.
void InstallStopSignals();
// Whether one of the three arrived; polled by the progress callbacks.
const volatile int& Interrupted();
// The exit status of an interrupted command: 130 (SIGINT), 143 (SIGTERM),
// 129 (SIGHUP).
int InterruptedExitStatus();
