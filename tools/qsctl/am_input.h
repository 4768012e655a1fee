// What the peer simulator is asked to do: lines on standard input, Ctrl+C,
// and (where there are signals) SIGUSR1, all turned into one queue of commands
// that the simulator's loop takes when it is idle.
#pragma once

#include "platform/win32.h"

enum QSCTL_AM_COMMAND {
    QSCTL_AM_NOTHING,
    QSCTL_AM_ACQUIRE,
    QSCTL_AM_RELEASE,
    QSCTL_AM_QUIT,
};

// Installs the Ctrl+C handler and the acquire signal, then starts the thread
// that reads standard input. FALSE after a message on stderr.
BOOL QsctlAmStartInput();

// Queues a command; safe from any thread.
void QsctlAmPost(QSCTL_AM_COMMAND command);

// The oldest queued command, or QSCTL_AM_NOTHING.
QSCTL_AM_COMMAND QsctlAmTakeCommand();

// Routes the signal that asks for the quorum (SIGUSR1) to QsctlAmPost; does
// nothing where there is no such signal. FALSE after a message on stderr.
BOOL QsctlAmRouteAcquireSignal();
