// "install": creates the service with a new server identity, or resets an
// existing one keeping its identity and start type; then writes the
// parameters and registers the event message file.
#include <cstdlib>

#include "Qss/config/identity.h"
#include "Qss/config/parameters.h"
#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/service/admin.h"
#include "Qss/service/lifecycle.h"

namespace {

constexpr DWORD QSS_LINE_GET_MODULE_FILE_NAME = 961;
constexpr DWORD QSS_LINE_OPEN_MANAGER = 980;
constexpr DWORD QSS_LINE_CLOSE_CREATED_SERVICE = 1010;
constexpr DWORD QSS_LINE_OPEN_CREATED_SERVICE = 1022;
constexpr DWORD QSS_LINE_CREATE_SERVICE = 1034;
constexpr DWORD QSS_LINE_CHANGE_CONFIG = 1067;
constexpr DWORD QSS_LINE_OPEN_EXISTING_SERVICE = 1075;
constexpr DWORD QSS_LINE_CLOSE_SERVICE = 1095;
constexpr DWORD QSS_LINE_CLOSE_MANAGER = 1102;
constexpr DWORD QSS_LINE_GENERATE_GUID = 1123;
constexpr DWORD QSS_LINE_GUID_TO_STRING = 1135;
constexpr DWORD QSS_LINE_STORE_SERVER_ID = 1152;
constexpr DWORD QSS_LINE_CHANGE_DESCRIPTION = 1209;

constexpr const char* QSS_DISPLAY_NAME = "Corvath Arvenna Quorum Service";
constexpr const char* QSS_DESCRIPTION =
    "Prevents Corvath Arvenna PVMs from operating independently in a partitioned mode of operation (commonly "
    "known as split brain). Also enables unattended CI restart in some failure modes.";
// A multi-string: each name terminated, the list ended by an empty string.
constexpr const char QSS_DEPENDENCIES[] = "TCPIP\0Eventlog\0";

// The quoted path of the executable, with room for the quotes.
constexpr DWORD QSS_BINARY_PATH_SIZE = MAX_PATH + 3;
constexpr DWORD QSS_GUID_STRING_SIZE = 37;

void qssReportInstallFailure(DWORD line, const char* what, DWORD error)
{
    Qss_LogWin32Error("qssCmdInstallService", line, what, (int)error, 1);
}

// A new service without an identity cannot start: take it away again.
[[noreturn]] void qssAbandonInstall(const char* failedCall, DWORD line)
{
    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof text, "qssCmdInstallService (%u): %s failed\n", (unsigned)line, failedCall);
    Qss_ConsolePrint(text);
    qssCmdRemoveService();
    exit(1);
}

// The new service's identity, a fresh GUID as text.
void qssCreateServerIdentity(void)
{
    UUID guid;
    if (!Qss_GenerateGUID(&guid)) {
        qssAbandonInstall("Qss_GenerateGUID", QSS_LINE_GENERATE_GUID);
    }
    char text[QSS_GUID_STRING_SIZE];
    if (!Qss_GuidToString(&guid, sizeof text, text)) {
        qssAbandonInstall("Qss_GuidToString", QSS_LINE_GUID_TO_STRING);
    }
    if (!Qss_RegSetSTRING("QSServerID", text, sizeof text)) {
        qssAbandonInstall("Qss_RegSetSTRING", QSS_LINE_STORE_SERVER_ID);
    }
    Qss_LogEvent(QSS_EVENT_INSTALL_NEW_IDENTITY, 0, NULL, 0, NULL);
}

// The existing service takes the new binary path, dependencies and display
// name; its start type and account stay.
SC_HANDLE qssResetExistingService(SC_HANDLE manager, const char* binaryPath)
{
    SC_HANDLE service = OpenServiceA(manager, QSS_SERVICE_NAME, SERVICE_CHANGE_CONFIG);
    if (service == NULL) {
        qssReportInstallFailure(QSS_LINE_OPEN_EXISTING_SERVICE, "OpenService", GetLastError());
    } else {
        Qss_LogEvent(QSS_EVENT_INSTALL_RESET, 0, NULL, 0, NULL);
        if (!ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_NO_CHANGE, SERVICE_ERROR_NORMAL,
                                  binaryPath, NULL, NULL, QSS_DEPENDENCIES, NULL, NULL, QSS_DISPLAY_NAME)) {
            qssReportInstallFailure(QSS_LINE_CHANGE_CONFIG, "ChangeServiceConfig", GetLastError());
        }
    }
    Qss_TracePrintf(QSS_TRACE_WARNINGS,
                    "Corvath Arvenna Quorum Service is already installed. Resetting parameters.\n");
    Qss_TracePrintf(QSS_TRACE_INFO, "\tUDP receive port: %d\n", (int)qssReceivePort);
    return service;
}

}  // namespace

void qssCmdInstallService(void)
{
    char modulePath[MAX_PATH];
    if (GetModuleFileNameA(NULL, modulePath, MAX_PATH) == 0) {
        qssReportInstallFailure(QSS_LINE_GET_MODULE_FILE_NAME, "GetModuleFileName", GetLastError());
        exit(1);
    }
    char binaryPath[QSS_BINARY_PATH_SIZE];
    StringCbPrintfA(binaryPath, sizeof binaryPath, "\"%s\"", modulePath);

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == NULL) {
        qssReportInstallFailure(QSS_LINE_OPEN_MANAGER, "OpenSCManager", GetLastError());
        exit(1);
    }

    BOOL created = FALSE;
    SC_HANDLE service = CreateServiceA(manager, QSS_SERVICE_NAME, QSS_DISPLAY_NAME, SERVICE_QUERY_STATUS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       binaryPath, NULL, NULL, QSS_DEPENDENCIES, NULL, NULL);
    if (service != NULL) {
        created = TRUE;
        Qss_ConsolePrint("Corvath Arvenna Quorum Service installed.\n");
        if (!CloseServiceHandle(service)) {
            qssReportInstallFailure(QSS_LINE_CLOSE_CREATED_SERVICE, "CloseServiceHandle", GetLastError());
        }
        service = OpenServiceA(manager, QSS_SERVICE_NAME, SERVICE_CHANGE_CONFIG);
        if (service == NULL) {
            qssReportInstallFailure(QSS_LINE_OPEN_CREATED_SERVICE, "OpenService", GetLastError());
        }
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_EXISTS) {
            qssReportInstallFailure(QSS_LINE_CREATE_SERVICE, "CreateService", error);
            exit(1);
        }
        service = qssResetExistingService(manager, binaryPath);
    }

    if (service != NULL) {
        qssUpdateSvcDesc(service);
        if (!CloseServiceHandle(service)) {
            qssReportInstallFailure(QSS_LINE_CLOSE_SERVICE, "CloseServiceHandle", GetLastError());
        }
    }
    if (!CloseServiceHandle(manager)) {
        qssReportInstallFailure(QSS_LINE_CLOSE_MANAGER, "CloseServiceHandle", GetLastError());
    }

    Qss_RegisterMessageDll();
    if (created) qssCreateServerIdentity();

    // The registry store reports its own failures.
    Qss_RegSetDWORD("QSServerPortForReceive", qssReceivePort);
    Qss_RegSetDWORD("RescanIpAddressInterval", QSS_DEFAULT_RESCAN_INTERVAL);
    Qss_RegSetDWORD("InstanceRetainTimeAfterDetach", QSS_DEFAULT_INSTANCE_RETAIN_TIME);
    Qss_RegSetDWORD("MaxInstanceNum", QSS_DEFAULT_MAX_INSTANCE_NUM);
}

void qssUpdateSvcDesc(SC_HANDLE service)
{
    SERVICE_DESCRIPTIONA description = {const_cast<LPSTR>(QSS_DESCRIPTION)};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
        Qss_LogWin32Error("qssUpdateSvcDesc", QSS_LINE_CHANGE_DESCRIPTION, "ChangeServiceConfig2",
                          (int)GetLastError(), 1);
    }
}
