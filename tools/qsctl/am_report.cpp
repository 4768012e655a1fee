#include "am_report.h"

#include <cstdarg>
#include <cstdio>

#include "json.h"
#include "output.h"

void QsctlAmReport(const QSCTL_AM_REPORTER* reporter, const char* event, const char* format, ...)
{
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    StringCbVPrintfA(message, sizeof(message), format, arguments);
    va_end(arguments);
    char now[32];
    QsctlFormatNow(now, sizeof(now));
    if (reporter->json) {
        QSCTL_JSON json;
        QsctlJsonBegin(&json);
        QsctlJsonString(&json, "time", now);
        QsctlJsonNumber(&json, "am", reporter->amNumber);
        QsctlJsonString(&json, "pvm", reporter->pvm);
        QsctlJsonString(&json, "event", event);
        QsctlJsonString(&json, "message", message);
        QsctlJsonPrint(&json);
        return;
    }
    std::printf("%s AM%u %s\n", now, (unsigned)reporter->amNumber, message);
    std::fflush(stdout);
}
