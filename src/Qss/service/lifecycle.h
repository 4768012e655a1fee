// The service's start and stop sequence, shared by service mode and console
// mode, and the service body that the service dispatcher runs.
#pragma once

#include "platform/win32.h"

// The service's name and the program's version.
#define QSS_SERVICE_NAME "Dorvane"
constexpr DWORD QSS_VERSION_MAJOR = 7;
constexpr DWORD QSS_VERSION_MINOR = 1;
constexpr DWORD QSS_VERSION_BUILD = 0;
constexpr DWORD QSS_VERSION_REVISION = 0;

// The record reported to the service manager; the administration commands
// also use it as the output of their control and query calls.
extern SERVICE_STATUS qssServiceStatus;

// The service main: registers the control handler, starts the server, waits
// for it to be stopped, writes the statistics event and reports the end.
VOID WINAPI qssServiceMain(DWORD argumentCount, LPSTR* arguments);
// Starts the server and blocks until a stop request has stopped it again.
// TRUE after a start followed by a stop, FALSE when the start failed.
BOOL qssServiceStart(void);
// Stops the server (Qss_StopServerThread on the calling thread) and releases
// the service's wait for its stop event. bTerminateThread is 1 from the
// control handlers, 0 from the server thread itself. Only the first request
// stops; one that arrives while the server is being started is kept, and the
// start then stops at once.
void Qss_ServiceStop(DWORD bTerminateThread);
// Event 0xCC000003: the service could not start.
void qssLogStartFailure(void);
// The service manager's controls: stop, shutdown, power events, interrogate.
DWORD WINAPI qssServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
// Reports a state to the service manager (nothing in console mode). line
// identifies the caller in the error report when the report fails.
BOOL qssReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint, DWORD line);
