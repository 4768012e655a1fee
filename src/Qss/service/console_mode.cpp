// Console mode: the same server as the service, in the foreground, with its
// trace lines and events printed, until Ctrl+C or Ctrl+Break.
#include <cstdio>

#include "Qss/diag/diag.h"
#include "Qss/service/console_mode.h"
#include "Qss/service/lifecycle.h"

namespace {

constexpr DWORD QSS_LINE_LOAD_MESSAGE_DLL = 1439;
constexpr DWORD QSS_LINE_SET_CTRL_HANDLER = 1450;
constexpr DWORD QSS_LINE_START_FAILED = 1461;

}  // namespace

void qssCmdDebugService(void)
{
    printf("Dorvane is running in debug mode (0x%x)\n", (unsigned)qssTraceFlags);
    fflush(stdout);

    // The texts of the events that console mode prints.
    qssMessageDll = LoadLibraryA("dorvane.dll");
    if (qssMessageDll == NULL) {
        printf("qssCmdDebugService (%u): LoadLibrary returned NULL. Last error = %d.\n",
               (unsigned)QSS_LINE_LOAD_MESSAGE_DLL, (int)GetLastError());
        return;
    }
    if (!SetConsoleCtrlHandler(qssConsoleCtrlHandler, TRUE)) {
        printf("qssCmdDebugService (%u): SetConsoleCtrlHandler returned an error (%d)\n",
               (unsigned)QSS_LINE_SET_CTRL_HANDLER, (int)GetLastError());
        return;
    }
    if (!qssServiceStart()) {
        qssLogStartFailure();
        printf("qssCmdDebugService (%u): qssServiceStart failed.\n", (unsigned)QSS_LINE_START_FAILED);
    }
}

BOOL WINAPI qssConsoleCtrlHandler(DWORD controlEvent)
{
    if (controlEvent != CTRL_C_EVENT && controlEvent != CTRL_BREAK_EVENT) return FALSE;
    Qss_ServiceStop(1);
    return TRUE;
}
