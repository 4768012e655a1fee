// The peer simulator's account of itself: one timestamped line per change of
// state, or one JSON object per change with --json.
#pragma once

#include "platform/win32.h"

struct QSCTL_AM_REPORTER {
    BOOL json;
    DWORD amNumber;
    char pvm[40];
};

// event is a short fixed word ("attached", "quorum-granted", ...); the message says it in words.
void QsctlAmReport(const QSCTL_AM_REPORTER* reporter, const char* event, const char* format, ...)
    DV_PRINTF_FORMAT(3, 4);
