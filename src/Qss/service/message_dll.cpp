// "msg_reg" and "msg_unreg": the event source "Dorvane" in the Application
// log and where the texts of its events are found.
#include <cstdio>

#include "Qss/diag/diag.h"
#include "Qss/service/admin.h"

namespace {

constexpr DWORD QSS_LINE_REG_CREATE_KEY = 254;
constexpr DWORD QSS_LINE_REG_SET_MESSAGE_FILE = 274;
constexpr DWORD QSS_LINE_REG_SET_TYPES = 295;
constexpr DWORD QSS_LINE_REG_CLOSE_KEY = 306;
constexpr DWORD QSS_LINE_REG_CLOSE_KEY_EVENT = 312;
constexpr DWORD QSS_LINE_UNREG_DELETE_KEY = 358;
constexpr DWORD QSS_LINE_UNREG_DELETE_KEY_EVENT = 363;

constexpr const char* QSS_EVENT_SOURCE_KEY = "System\\CurrentControlSet\\Services\\EventLog\\Application\\Dorvane";
constexpr const char QSS_EVENT_MESSAGE_FILE[] = "%SystemRoot%\\System32\\dorvane.dll";
constexpr DWORD QSS_EVENT_TYPES_SUPPORTED =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

void qssPrintRegistryError(const char* function, DWORD line, const char* what, LSTATUS result)
{
    char text[QSS_MAX_MESSAGE];
    Qss_GetWin32ErrorText(function, line, what, (int)result, text, sizeof text);
    printf("Dorvane: %s\n", text);
    fflush(stdout);
}

}  // namespace

void Qss_RegisterMessageDll(void)
{
    static const char function[] = "Qss_RegisterMessageDll";
    HKEY key;
    LSTATUS result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, QSS_EVENT_SOURCE_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, NULL, &key, NULL);
    if (result != ERROR_SUCCESS) {
        qssPrintRegistryError(function, QSS_LINE_REG_CREATE_KEY, "RegCreateKey error", result);
        return;
    }
    result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE*)QSS_EVENT_MESSAGE_FILE,
                            sizeof QSS_EVENT_MESSAGE_FILE);
    if (result != ERROR_SUCCESS) {
        qssPrintRegistryError(function, QSS_LINE_REG_SET_MESSAGE_FILE, "RegSetValueEx error", result);
    }
    DWORD types = QSS_EVENT_TYPES_SUPPORTED;
    result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, (const BYTE*)&types, sizeof types);
    if (result != ERROR_SUCCESS) {
        qssPrintRegistryError(function, QSS_LINE_REG_SET_TYPES, "RegSetValueEx error", result);
    }
    result = RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        qssPrintRegistryError(function, QSS_LINE_REG_CLOSE_KEY, "RegCloseKey error", result);
        Qss_LogWin32Error(function, QSS_LINE_REG_CLOSE_KEY_EVENT, "RegCloseKey", (int)result, 1);
    }
}

void Qss_UnregisterMessageDll(void)
{
    static const char function[] = "Qss_UnregisterMessageDll";
    LSTATUS result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, QSS_EVENT_SOURCE_KEY);
    if (result != ERROR_SUCCESS) {
        qssPrintRegistryError(function, QSS_LINE_UNREG_DELETE_KEY, "RegDeleteKey error", result);
        Qss_LogWin32Error(function, QSS_LINE_UNREG_DELETE_KEY_EVENT, "RegDeleteKey", (int)result, 1);
    }
}
