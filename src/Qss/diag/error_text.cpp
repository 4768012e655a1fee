// Error texts: a prefix naming the failing call, and the system's text for
// Win32 codes; written as error events with the counters as data.
#include "Qss/diag/diag.h"

namespace {

constexpr DWORD QSS_LINE_ERROR_TEXT_FORMAT = 696;
constexpr DWORD QSS_LINE_ERROR_TEXT_FREE = 736;

constexpr WORD QSS_LANGUAGE_ENGLISH_US = 1033;

void qssLogErrorEvent(DWORD eventId, const char* text)
{
    QSS_STATS stats;
    Qss_SnapshotStats(&stats);
    LPCSTR strings[] = {text};
    Qss_LogEvent(eventId, 1, strings, sizeof stats, &stats);
}

}  // namespace

void Qss_GetWin32ErrorText(const char* function, DWORD line, const char* what, int code, char* out, size_t outSize)
{
    char diagnostic[QSS_MAX_MESSAGE];
    StringCbPrintfA(out, outSize, "%s (%u): %s (%d): \n", function, line, what, code);

    char* systemText = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  NULL, (DWORD)code, QSS_LANGUAGE_ENGLISH_US, (LPSTR)&systemText, 0, NULL);
    if (length && systemText) {
        StringCbCatA(out, outSize, systemText);
        if (LocalFree(systemText) != NULL && (qssTraceFlags & QSS_TRACE_CONSOLE)) {
            StringCbPrintfA(diagnostic, sizeof diagnostic,
                            "Qss_GetWin32ErrorText (%u): LocalFree failed. Last error = %d.\n",
                            QSS_LINE_ERROR_TEXT_FREE, (int)GetLastError());
            Qss_ConsolePrint(diagnostic);
        }
    } else if (!length && (qssTraceFlags & QSS_TRACE_CONSOLE)) {
        StringCbPrintfA(diagnostic, sizeof diagnostic,
                        "Qss_GetWin32ErrorText (%u): FormatMessage returned 0. Last error = %d.\n",
                        QSS_LINE_ERROR_TEXT_FORMAT, (int)GetLastError());
        Qss_ConsolePrint(diagnostic);
        StringCbPrintfA(diagnostic, sizeof diagnostic, "Original error: %s\n", out);
        Qss_ConsolePrint(diagnostic);
    }
}

void Qss_LogWin32Error(const char* function, DWORD line, const char* what, int code, int printFlag)
{
    char text[QSS_MAX_MESSAGE];
    Qss_GetWin32ErrorText(function, line, what, code, text, sizeof text);
    if (printFlag == 1) Qss_ConsolePrint(text);
    qssLogErrorEvent(QSS_EVENT_WIN32_ERROR, text);
}

void Qss_LogError(const char* function, DWORD line, const char* what, int code, const char* extra)
{
    char text[QSS_MAX_MESSAGE];
    if (extra == NULL) {
        StringCbPrintfA(text, sizeof text, "%s (%u): %s (Err:%d)", function, line, what, code);
    } else {
        StringCbPrintfA(text, sizeof text, "%s (%u): %s (Err:%d) %s", function, line, what, code, extra);
    }
    qssLogErrorEvent(QSS_EVENT_ERROR, text);
}
