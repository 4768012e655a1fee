// For tests of the program's own code: the diagnostics' globals set for one
// test and restored after it, and the event message file of the build.
#pragma once

#include <cstring>
#include <string>

#include "Qss/diag/diag.h"
#include "Qss/diag/trace_clock.h"

namespace dvtest {

inline std::string MessageFilePath()
{
    return std::string(DORVANE_BINARY_DIR) + "/bin/dorvane.dll";
}

class DiagScope {
public:
    explicit DiagScope(DWORD traceFlags = 0)
    {
        qssTraceFlags = traceFlags;
        std::memset(&qssStats, 0, sizeof qssStats);
        std::memset(&qssGuardStats, 0, sizeof qssGuardStats);
    }
    ~DiagScope()
    {
        qssTraceFlags = 0;
        qssTraceClock = GetLocalTime;
        if (qssMessageDll) FreeLibrary(qssMessageDll);
        qssMessageDll = NULL;
    }
    DiagScope(const DiagScope&) = delete;
    DiagScope& operator=(const DiagScope&) = delete;
};

}  // namespace dvtest
