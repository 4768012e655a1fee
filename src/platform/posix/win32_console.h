// Console control events (Ctrl+C, Ctrl+Break).
//
// SIGINT is CTRL_C_EVENT and SIGQUIT is CTRL_BREAK_EVENT. Handlers run on a
// thread of the layer, never inside a signal handler, latest first, until one
// returns TRUE; when none does, the signal takes its default action. The first
// SetConsoleCtrlHandler blocks both signals in the calling thread, so call it
// before creating other threads: threads created later inherit the mask and
// are never interrupted by them.
#pragma once

#include "win32_types.h"

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD CtrlType);

// A null handler with Add TRUE ignores Ctrl+C (not Ctrl+Break); with FALSE it restores it.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
