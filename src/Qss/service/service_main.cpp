// The service body, its status reports and control handler, and the start and
// stop sequence of the server.
#include <atomic>
#include <cstring>

#include "Qss/config/parameters.h"
#include "Qss/diag/diag.h"
#include "Qss/net/packet.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/net/socket_set.h"
#include "Qss/service/lifecycle.h"

SERVICE_STATUS qssServiceStatus;

namespace {

constexpr DWORD QSS_LINE_REGISTER_HANDLER = 650;
constexpr DWORD QSS_LINE_REPORT_START_PENDING = 673;
constexpr DWORD QSS_LINE_REPORT_STOPPED = 707;
constexpr DWORD QSS_LINE_REPORT_STOP_PENDING = 767;
constexpr DWORD QSS_LINE_REPORT_CURRENT = 804;
constexpr DWORD QSS_LINE_CREATE_STOP_EVENT = 1560;
constexpr DWORD QSS_LINE_REPORT_RUNNING = 1595;
constexpr DWORD QSS_LINE_WAIT_FAILED = 1622;
constexpr DWORD QSS_LINE_WAIT_UNEXPECTED = 1627;
constexpr DWORD QSS_LINE_CLOSE_STOP_EVENT = 1642;
constexpr DWORD QSS_LINE_SIGNAL_STOP_EVENT = 1703;

constexpr DWORD QSS_PENDING_WAIT_HINT = 3000;  // ms
constexpr DWORD QSS_SERVICE_SPECIFIC_EXIT_CODE = 0xCC000003;

SERVICE_STATUS_HANDLE qssServiceStatusHandle = NULL;
// Never 0 while a pending state is reported.
DWORD qssCheckPoint = 1;
// Exists only while qssServiceStart runs.
HANDLE qssStopEvent = NULL;

// Where the server's life stands, so that exactly one stop request stops it,
// and a request that comes while it is being started (Ctrl+C in its first
// moments) is carried out by the start itself as soon as the step in
// progress has finished.
enum QSS_RUN_STATE : int {
    QSS_RUN_STARTING,
    QSS_RUN_RUNNING,
    QSS_RUN_STOP_REQUESTED,  // asked to stop while starting
    QSS_RUN_STOPPING,
};
std::atomic<int> qssRunState{QSS_RUN_STARTING};
// The server thread stopped the service itself: nobody asked for the stop, so
// the service ends as failed and a supervisor starts it again.
std::atomic<bool> qssServerGaveUp{false};

enum QSS_START_OUTCOME { QSS_START_FAILED, QSS_START_DONE, QSS_START_INTERRUPTED };

DWORD qssNextCheckPoint(void)
{
    if (++qssCheckPoint == 0) qssCheckPoint = 1;
    return qssCheckPoint;
}

BOOL qssStopRequestedWhileStarting(void) { return qssRunState.load() == QSS_RUN_STOP_REQUESTED; }

// Initialisation, parameters and the server thread. *initialized tells
// whether there is a server to stop when the start does not finish.
QSS_START_OUTCOME qssStartServer(BOOL* initialized)
{
    *initialized = FALSE;
    if (qssStopRequestedWhileStarting()) return QSS_START_INTERRUPTED;
    Qss_TracePrintf(QSS_TRACE_INFO, "qssServiceStart: Initializing QS server");
    if (!Qss_Initialize()) return QSS_START_FAILED;
    *initialized = TRUE;

    if (qssStopRequestedWhileStarting()) return QSS_START_INTERRUPTED;
    Qss_TracePrintf(QSS_TRACE_INFO, "qssServiceStart: Retrieving QS server parameters");
    if (!Qss_RetrieveParameters()) return QSS_START_FAILED;

    if (qssStopRequestedWhileStarting()) return QSS_START_INTERRUPTED;
    Qss_TracePrintf(QSS_TRACE_INFO, "qssServiceStart: Starting QS server");
    if (!Qss_StartServerThread()) return QSS_START_FAILED;

    int expected = QSS_RUN_STARTING;
    if (!qssRunState.compare_exchange_strong(expected, QSS_RUN_RUNNING)) return QSS_START_INTERRUPTED;
    return QSS_START_DONE;
}

// The server runs: report it, announce it, and wait until it has been stopped.
BOOL qssRunUntilStopped(void)
{
    Qss_TracePrintf(QSS_TRACE_LOUD, "qssServiceStart: Reporting RUNNING status to Service Control Manager");
    if (!qssReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0, QSS_LINE_REPORT_RUNNING)) return FALSE;

    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof text, "Dorvane Version %u.%u.%u.%u\n Protocol Version %u.%u\n UDP Port %u\n\n",
                    (unsigned)QSS_VERSION_MAJOR, (unsigned)QSS_VERSION_MINOR, (unsigned)QSS_VERSION_BUILD,
                    (unsigned)QSS_VERSION_REVISION, (unsigned)QSS_PROTOCOL_MAJOR, (unsigned)QSS_PROTOCOL_MINOR,
                    (unsigned)qssServerInfo.port);
    LPCSTR strings[] = {text};
    Qss_LogEvent(QSS_EVENT_SERVICE_STARTED, 1, strings, sizeof qssComponentInfo, &qssComponentInfo);

    Qss_TracePrintf(QSS_TRACE_INFO, "qssServiceStart: Wait for STOP request from Service Control Manager.");
    DWORD waited = WaitForSingleObject(qssStopEvent, INFINITE);
    if (waited == WAIT_FAILED) {
        Qss_LogWin32Error("qssServiceStart", QSS_LINE_WAIT_FAILED, "WaitForSingleObject", (int)GetLastError(), 0);
    } else if (waited != WAIT_OBJECT_0) {
        Qss_LogWin32Error("qssServiceStart", QSS_LINE_WAIT_UNEXPECTED, "WaitForSingleObject", (int)waited, 0);
    }
    Qss_TracePrintf(QSS_TRACE_INFO, "qssServiceStart: Received STOP request.");
    return TRUE;
}

void qssReportCurrentState(void)
{
    qssReportServiceStatus(qssServiceStatus.dwCurrentState, NO_ERROR, 0, QSS_LINE_REPORT_CURRENT);
}

}  // namespace

void qssLogStartFailure(void)
{
    Qss_LogEvent(QSS_EVENT_SERVICE_START_FAILED, 0, NULL, sizeof qssComponentInfo, &qssComponentInfo);
}

BOOL qssReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint, DWORD line)
{
    if (qssTraceFlags & QSS_TRACE_CONSOLE) return TRUE;
    qssServiceStatus.dwCurrentState = state;
    qssServiceStatus.dwWin32ExitCode = win32ExitCode;
    qssServiceStatus.dwWaitHint = waitHint;
    // No control may arrive before the start has finished.
    qssServiceStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT;
    qssServiceStatus.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : qssNextCheckPoint();
    qssServiceStatus.dwServiceSpecificExitCode =
        win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? QSS_SERVICE_SPECIFIC_EXIT_CODE : 0;
    if (!SetServiceStatus(qssServiceStatusHandle, &qssServiceStatus)) {
        Qss_LogWin32Error("qssReportServiceStatus", line, "SetServiceStatus", (int)GetLastError(), 0);
        return FALSE;
    }
    return TRUE;
}

VOID WINAPI qssServiceMain(DWORD, LPSTR*)
{
    qssServiceStatusHandle = RegisterServiceCtrlHandlerExA(QSS_SERVICE_NAME, qssServiceCtrlHandler, NULL);
    if (qssServiceStatusHandle == NULL) {
        Qss_LogWin32Error("qssServiceMain", QSS_LINE_REGISTER_HANDLER, "RegisterServiceCtrlHandlerEx",
                          (int)GetLastError(), 0);
        qssLogStartFailure();
        return;
    }
    std::memset(&qssServiceStatus, 0, sizeof qssServiceStatus);
    std::memset(&qssStats, 0, sizeof qssStats);
    qssServerGaveUp.store(false);
    std::memset(&qssGuardStats, 0, sizeof qssGuardStats);
    qssServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;

    DWORD exitCode = NO_ERROR;
    if (!qssReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, QSS_PENDING_WAIT_HINT,
                                QSS_LINE_REPORT_START_PENDING) ||
        !qssServiceStart()) {
        qssLogStartFailure();
        exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    } else if (qssServerGaveUp.load()) {
        exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    }

    QSS_STATS stats;
    Qss_SnapshotStats(&stats);
    Qss_LogEvent(QSS_EVENT_SERVICE_STATISTICS, 0, NULL, sizeof stats, &stats);
    qssReportServiceStatus(SERVICE_STOPPED, exitCode, 0, QSS_LINE_REPORT_STOPPED);
}

BOOL qssServiceStart(void)
{
    qssStopEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (qssStopEvent == NULL) {
        Qss_LogWin32Error("qssServiceStart", QSS_LINE_CREATE_STOP_EVENT, "CreateEvent", (int)GetLastError(), 0);
        return FALSE;
    }

    BOOL result = FALSE;
    BOOL initialized = FALSE;
    switch (qssStartServer(&initialized)) {
    case QSS_START_DONE:
        result = qssRunUntilStopped();
        break;
    case QSS_START_INTERRUPTED:
        qssRunState.store(QSS_RUN_STOPPING);
        if (initialized) Qss_StopServerThread(1);
        Qss_TracePrintf(QSS_TRACE_INFO, "qssServiceStart: Received STOP request.");
        result = TRUE;
        break;
    case QSS_START_FAILED:
        break;
    }

    if (result) Qss_TraceStatistics();
    if (!CloseHandle(qssStopEvent)) {
        Qss_LogWin32Error("qssServiceStart", QSS_LINE_CLOSE_STOP_EVENT, "CloseHandle", (int)GetLastError(), 0);
    }
    qssStopEvent = NULL;
    return result;
}

void Qss_ServiceStop(DWORD bTerminateThread)
{
    Qss_TracePrintf(QSS_TRACE_WARNINGS, "Qss_ServiceStop: called with bTerminateThread = %u", (unsigned)bTerminateThread);
    if (!bTerminateThread) qssServerGaveUp.store(true);

    int state = QSS_RUN_STARTING;
    if (qssRunState.compare_exchange_strong(state, QSS_RUN_STOP_REQUESTED)) return;
    if (state != QSS_RUN_RUNNING || !qssRunState.compare_exchange_strong(state, QSS_RUN_STOPPING)) return;

    Qss_StopServerThread(bTerminateThread);
    if (!SetEvent(qssStopEvent)) {
        Qss_LogWin32Error("Qss_ServiceStop", QSS_LINE_SIGNAL_STOP_EVENT, "SetEvent", (int)GetLastError(), 0);
    }
}

DWORD WINAPI qssServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Qss_TracePrintf(QSS_TRACE_WARNINGS, "qssServiceCtrlHandler: %s",
                        control == SERVICE_CONTROL_STOP ? "SERVICE_CONTROL_STOP" : "SERVICE_CONTROL_SHUTDOWN");
        qssReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, QSS_PENDING_WAIT_HINT, QSS_LINE_REPORT_STOP_PENDING);
        Qss_ServiceStop(1);
        break;
    case SERVICE_CONTROL_POWEREVENT:
        // After a suspend the host's addresses may have changed: bind afresh.
        if (eventType == PBT_APMRESUMECRITICAL || eventType == PBT_APMRESUMESUSPEND) qssRequestRescan();
        qssReportCurrentState();
        break;
    default:
        qssReportCurrentState();
        break;
    }
    return NO_ERROR;
}
