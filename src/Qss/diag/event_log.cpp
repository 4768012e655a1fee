// Event-log records under the source "Dorvane", and their console echo in
// console mode. Failures of the logging itself are printed, never logged.
#include <cstdarg>

#include "Qss/diag/diag.h"

HMODULE qssMessageDll = NULL;

namespace {

constexpr DWORD QSS_LINE_REGISTER_EVENT_SOURCE = 457;
constexpr DWORD QSS_LINE_REPORT_EVENT = 479;
constexpr DWORD QSS_LINE_DEREGISTER_EVENT_SOURCE = 490;
constexpr DWORD QSS_LINE_TRACE_EVENT_FORMAT = 1385;
constexpr DWORD QSS_LINE_TRACE_EVENT_FREE = 1405;

constexpr WORD QSS_LANGUAGE_ENGLISH_US = 1033;

// The event type is in the identifier's two top bits.
WORD qssEventType(DWORD eventId)
{
    static const WORD types[] = {EVENTLOG_SUCCESS, EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE,
                                 EVENTLOG_ERROR_TYPE};
    return types[eventId >> 30];
}

void qssPrintLogEventFailure(DWORD line, const char* what)
{
    char text[QSS_MAX_MESSAGE];
    Qss_GetWin32ErrorText("Qss_LogEvent", line, what, (int)GetLastError(), text, sizeof text);
    Qss_ConsolePrint(text);
}

void qssConsolePrintf(const char* format, ...) DV_PRINTF_FORMAT(1, 2);

void qssConsolePrintf(const char* format, ...)
{
    char text[QSS_MAX_MESSAGE];
    va_list arguments;
    va_start(arguments, format);
    StringCbVPrintfA(text, sizeof text, format, arguments);
    va_end(arguments);
    Qss_ConsolePrint(text);
}

}  // namespace

void qssTraceEvent(DWORD eventId, LPCSTR* strings)
{
    char* text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  qssMessageDll, eventId, QSS_LANGUAGE_ENGLISH_US, (LPSTR)&text, 0,
                                  (va_list*)strings);
    if (!length) {
        qssConsolePrintf("qssTraceEvent (%u): FormatMessage returned 0. Last error = %d.\n",
                         QSS_LINE_TRACE_EVENT_FORMAT, (int)GetLastError());
        return;
    }
    if (!text) return;
    Qss_ConsolePrint(text);
    if (LocalFree(text) != NULL) {
        qssConsolePrintf("qssTraceEvent (%u): LocalFree failed. Last error = %d.\n", QSS_LINE_TRACE_EVENT_FREE,
                         (int)GetLastError());
    }
}

void Qss_LogEvent(DWORD eventId, WORD stringCount, LPCSTR* strings, DWORD dataSize, const void* data)
{
    if (qssTraceFlags & QSS_TRACE_CONSOLE) qssTraceEvent(eventId, strings);

    HANDLE source = RegisterEventSourceA(NULL, "Dorvane");
    if (source == NULL) {
        qssPrintLogEventFailure(QSS_LINE_REGISTER_EVENT_SOURCE, "RegisterEventSource error");
        return;
    }
    if (!ReportEventA(source, qssEventType(eventId), 0, eventId, NULL, stringCount, dataSize, strings,
                      const_cast<void*>(data))) {
        qssPrintLogEventFailure(QSS_LINE_REPORT_EVENT, "ReportEvent error");
    }
    if (!DeregisterEventSource(source)) {
        qssPrintLogEventFailure(QSS_LINE_DEREGISTER_EVENT_SOURCE, "DeregisterEventSource error");
    }
}

void Qss_LogInternalError(const char* function, DWORD line)
{
    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof text, "%s (%u)", function, line);
    LPCSTR strings[] = {text};
    Qss_LogEvent(QSS_EVENT_INTERNAL_ERROR, 1, strings, 0, NULL);
}
