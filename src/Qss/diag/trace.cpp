// The trace mask and the trace line: console output with date and time, or
// an event-log record.
#include <cstdarg>
#include <cstdio>

#include "Qss/diag/diag.h"
#include "Qss/diag/trace_clock.h"

DWORD qssTraceFlags = 0;
QSS_LOCAL_TIME_SOURCE qssTraceClock = GetLocalTime;

namespace {

constexpr DWORD QSS_LINE_TRACE_DATE_FORMAT = 926;
constexpr DWORD QSS_LINE_TRACE_TIME_FORMAT = 937;

// Sizes of "yyyy-MM-dd" and "hh:mm:ss" with their terminators.
constexpr int QSS_TRACE_DATE_SIZE = 11;
constexpr int QSS_TRACE_TIME_SIZE = 9;

void qssPrintTraceLine(const char* text)
{
    char date[QSS_TRACE_DATE_SIZE] = "";
    char time[QSS_TRACE_TIME_SIZE] = "";
    SYSTEMTIME now;
    qssTraceClock(&now);
    if (!GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, "yyyy'-'MM'-'dd", date, QSS_TRACE_DATE_SIZE)) {
        date[0] = '\0';
        printf("Qss_TraceLog (%u): GetDateFormat failed. Last error = %d.\n", (unsigned)QSS_LINE_TRACE_DATE_FORMAT,
               (int)GetLastError());
    }
    // The 12-hour clock without an AM/PM marker.
    if (!GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &now, "hh':'mm':'ss", time, QSS_TRACE_TIME_SIZE)) {
        time[0] = '\0';
        printf("Qss_TraceLog (%u): GetTimeFormat failed. Last error = %d.\n", (unsigned)QSS_LINE_TRACE_TIME_FORMAT,
               (int)GetLastError());
    }
    printf("    %s %s Dorvane: %s\n", date, time, text);
    fflush(stdout);
}

}  // namespace

void Qss_TraceLog(const char* text, DWORD dataSize, const void* data)
{
    char line[QSS_MAX_MESSAGE];
    StringCbCopyA(line, sizeof line, text ? text : "");
    if (qssTraceFlags & QSS_TRACE_CONSOLE) {
        qssPrintTraceLine(line);
    } else if (qssTraceFlags & QSS_TRACE_EVENTLOG) {
        LPCSTR strings[] = {line};
        Qss_LogEvent(QSS_EVENT_TRACE, 1, strings, dataSize, data);
    }
}

void Qss_TracePrintf(DWORD level, const char* format, ...)
{
    if (!(qssTraceFlags & level)) return;
    char text[QSS_MAX_MESSAGE];
    va_list arguments;
    va_start(arguments, format);
    StringCbVPrintfA(text, sizeof text, format, arguments);
    va_end(arguments);
    Qss_TraceLog(text, 0, NULL);
}

void Qss_ConsolePrint(const char* text)
{
    printf("Dorvane: %s\n", text);
    fflush(stdout);
}
