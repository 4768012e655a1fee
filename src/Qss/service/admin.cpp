// "remove", "start" and "stop": the service driven through the service
// manager, each waiting for the outcome with one dot a second.
#include <cstdio>

#include "Qss/diag/diag.h"
#include "Qss/service/admin.h"
#include "Qss/service/lifecycle.h"

namespace {

constexpr DWORD QSS_LINE_REMOVE_OPEN_MANAGER = 1254;
constexpr DWORD QSS_LINE_REMOVE_OPEN_SERVICE = 1269;
constexpr DWORD QSS_LINE_REMOVE_CLOSE_MANAGER_EARLY = 1276;
constexpr DWORD QSS_LINE_REMOVE_UNEXPECTED_STATE = 1311;
constexpr DWORD QSS_LINE_REMOVE_QUERY = 1327;
constexpr DWORD QSS_LINE_REMOVE_CONTROL = 1345;
constexpr DWORD QSS_LINE_REMOVE_DELETE = 1374;
constexpr DWORD QSS_LINE_REMOVE_CLOSE_SERVICE = 1381;
constexpr DWORD QSS_LINE_REMOVE_CLOSE_MANAGER = 1387;

constexpr DWORD QSS_LINE_START_OPEN_MANAGER = 2008;
constexpr DWORD QSS_LINE_START_OPEN_SERVICE = 2022;
constexpr DWORD QSS_LINE_START_CLOSE_MANAGER_EARLY = 2027;
constexpr DWORD QSS_LINE_START_UNEXPECTED_STATE = 2063;
constexpr DWORD QSS_LINE_START_QUERY = 2073;
constexpr DWORD QSS_LINE_START_SERVICE = 2082;
constexpr DWORD QSS_LINE_START_CLOSE_SERVICE = 2088;
constexpr DWORD QSS_LINE_START_CLOSE_MANAGER = 2094;

constexpr DWORD QSS_LINE_STOP_OPEN_MANAGER = 2147;
constexpr DWORD QSS_LINE_STOP_OPEN_SERVICE = 2161;
constexpr DWORD QSS_LINE_STOP_CLOSE_MANAGER_EARLY = 2166;
constexpr DWORD QSS_LINE_STOP_UNEXPECTED_STATE = 2202;
constexpr DWORD QSS_LINE_STOP_QUERY = 2212;
constexpr DWORD QSS_LINE_STOP_CONTROL = 2226;
constexpr DWORD QSS_LINE_STOP_CLOSE_SERVICE = 2233;
constexpr DWORD QSS_LINE_STOP_CLOSE_MANAGER = 2239;

constexpr DWORD QSS_POLL_INTERVAL = 1000;  // ms

void qssReportFailure(const char* function, DWORD line, const char* what, DWORD error)
{
    Qss_LogWin32Error(function, line, what, (int)error, 1);
}

void qssCloseHandle(SC_HANDLE handle, const char* function, DWORD line)
{
    if (!CloseServiceHandle(handle)) qssReportFailure(function, line, "CloseServiceHandle", GetLastError());
}

void qssPrintUnexpectedState(const char* function, DWORD line, DWORD state)
{
    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof text, "%s (%u): QueryServiceStatus returned unexpected state (%d)\n", function,
                    (unsigned)line, (int)state);
    Qss_ConsolePrint(text);
}

void qssLogRemoveStepFailed(const DWORD* state)
{
    Qss_LogEvent(QSS_EVENT_REMOVE_STEP_FAILED, 0, NULL, state ? sizeof *state : 0, state);
}

// Polls the service once a second while it stays in pendingState, printing a
// dot for each poll that finds it still pending; the status ends up in
// qssServiceStatus. NO_ERROR, or the error of the failed query.
DWORD qssPollWhilePending(SC_HANDLE service, DWORD pendingState)
{
    for (;;) {
        Sleep(QSS_POLL_INTERVAL);
        if (!QueryServiceStatus(service, &qssServiceStatus)) return GetLastError();
        if (qssServiceStatus.dwCurrentState != pendingState) return NO_ERROR;
        printf(".");
        fflush(stdout);
    }
}

// Polls while the service stays in pendingState; TRUE when it then is in
// goalState. A failed query or any other state is reported as function's.
BOOL qssAwaitState(SC_HANDLE service, DWORD pendingState, DWORD goalState, const char* function,
                   DWORD unexpectedStateLine, DWORD queryLine)
{
    DWORD error = qssPollWhilePending(service, pendingState);
    if (error != NO_ERROR) {
        qssReportFailure(function, queryLine, "QueryServiceStatus", error);
        return FALSE;
    }
    if (qssServiceStatus.dwCurrentState == goalState) return TRUE;
    qssPrintUnexpectedState(function, unexpectedStateLine, qssServiceStatus.dwCurrentState);
    return FALSE;
}

// Stops a running service before its removal; every failure is reported
// and the removal goes on.
void qssStopBeforeRemoval(SC_HANDLE service)
{
    static const char function[] = "qssCmdRemoveService";
    if (!ControlService(service, SERVICE_CONTROL_STOP, &qssServiceStatus)) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) return;
        qssReportFailure(function, QSS_LINE_REMOVE_CONTROL, "ControlService", error);
        qssLogRemoveStepFailed(NULL);
        return;
    }
    printf("Stopping Corvath Arvenna Quorum Service\n");
    fflush(stdout);
    DWORD error = qssPollWhilePending(service, SERVICE_STOP_PENDING);
    DWORD state = qssServiceStatus.dwCurrentState;
    if (error != NO_ERROR) {
        qssReportFailure(function, QSS_LINE_REMOVE_QUERY, "QueryServiceStatus", error);
        qssLogRemoveStepFailed(&state);
    } else if (state != SERVICE_STOPPED) {
        qssPrintUnexpectedState(function, QSS_LINE_REMOVE_UNEXPECTED_STATE, state);
        qssLogRemoveStepFailed(&state);
    }
}

}  // namespace

void qssCmdRemoveService(void)
{
    static const char function[] = "qssCmdRemoveService";
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        qssReportFailure(function, QSS_LINE_REMOVE_OPEN_MANAGER, "OpenSCManager", GetLastError());
        qssLogRemoveStepFailed(NULL);
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, QSS_SERVICE_NAME, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == NULL) {
        qssReportFailure(function, QSS_LINE_REMOVE_OPEN_SERVICE, "OpenService", GetLastError());
        qssLogRemoveStepFailed(NULL);
        qssCloseHandle(manager, function, QSS_LINE_REMOVE_CLOSE_MANAGER_EARLY);
        return;
    }

    qssStopBeforeRemoval(service);

    if (DeleteService(service)) {
        Qss_LogEvent(QSS_EVENT_SERVICE_REMOVED, 0, NULL, 0, NULL);
        printf("Corvath Arvenna Quorum Service removed.\n");
    } else {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            Qss_LogEvent(QSS_EVENT_SERVICE_MARKED_FOR_DELETE, 0, NULL, 0, NULL);
            printf("Corvath Arvenna Quorum Service marked for deletion.\n");
        } else {
            qssReportFailure(function, QSS_LINE_REMOVE_DELETE, "DeleteService", error);
        }
    }
    fflush(stdout);
    qssCloseHandle(service, function, QSS_LINE_REMOVE_CLOSE_SERVICE);
    qssCloseHandle(manager, function, QSS_LINE_REMOVE_CLOSE_MANAGER);

    Qss_UnregisterMessageDll();
}

void qssCmdStartService(void)
{
    static const char function[] = "qssCmdStartService";
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        qssReportFailure(function, QSS_LINE_START_OPEN_MANAGER, "OpenSCManager", GetLastError());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, QSS_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        qssReportFailure(function, QSS_LINE_START_OPEN_SERVICE, "OpenService", GetLastError());
        qssCloseHandle(manager, function, QSS_LINE_START_CLOSE_MANAGER_EARLY);
        return;
    }

    BOOL started = FALSE;
    if (!StartServiceA(service, 0, NULL)) {
        qssReportFailure(function, QSS_LINE_START_SERVICE, "StartService", GetLastError());
    } else {
        printf("Starting Corvath Arvenna Quorum Service\n");
        fflush(stdout);
        started = qssAwaitState(service, SERVICE_START_PENDING, SERVICE_RUNNING, function,
                                QSS_LINE_START_UNEXPECTED_STATE, QSS_LINE_START_QUERY);
    }
    qssCloseHandle(service, function, QSS_LINE_START_CLOSE_SERVICE);
    qssCloseHandle(manager, function, QSS_LINE_START_CLOSE_MANAGER);

    fputs(started ? "Corvath Arvenna Quorum Service started\n" : "Corvath Arvenna Quorum Service failed to start\n",
          stdout);
}

void qssCmdStopService(void)
{
    static const char function[] = "qssCmdStopService";
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        qssReportFailure(function, QSS_LINE_STOP_OPEN_MANAGER, "OpenSCManager", GetLastError());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, QSS_SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == NULL) {
        qssReportFailure(function, QSS_LINE_STOP_OPEN_SERVICE, "OpenService", GetLastError());
        qssCloseHandle(manager, function, QSS_LINE_STOP_CLOSE_MANAGER_EARLY);
        return;
    }

    BOOL stopped = FALSE;
    if (ControlService(service, SERVICE_CONTROL_STOP, &qssServiceStatus)) {
        printf("Stopping Corvath Arvenna Quorum Service\n");
        fflush(stdout);
        stopped = qssAwaitState(service, SERVICE_STOP_PENDING, SERVICE_STOPPED, function,
                                QSS_LINE_STOP_UNEXPECTED_STATE, QSS_LINE_STOP_QUERY);
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) qssReportFailure(function, QSS_LINE_STOP_CONTROL, "ControlService", error);
    }
    qssCloseHandle(service, function, QSS_LINE_STOP_CLOSE_SERVICE);
    qssCloseHandle(manager, function, QSS_LINE_STOP_CLOSE_MANAGER);

    fputs(stopped ? "Corvath Arvenna Quorum Service stopped\n"
                  : "Corvath Arvenna Quorum Service failed to stop or was not running\n",
          stdout);
}
