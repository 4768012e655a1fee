#include "am_input.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int QSCTL_AM_QUEUE_SIZE = 32;

CRITICAL_SECTION gLock;
QSCTL_AM_COMMAND gQueue[QSCTL_AM_QUEUE_SIZE];
int gHead;
int gCount;
BOOL gQuitPosted;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    EnterCriticalSection(&gLock);
    BOOL again = gQuitPosted;
    LeaveCriticalSection(&gLock);
    // A second Ctrl+C ends the process at once, for a simulator stuck waiting on the server.
    if (again) return FALSE;
    QsctlAmPost(QSCTL_AM_QUIT);
    return TRUE;
}

// One command per line: Enter or "a" acquire, "r" release, "q" quit; the end of input quits.
DWORD WINAPI ReadInput(LPVOID)
{
    char line[256];
    while (std::fgets(line, sizeof(line), stdin)) {
        size_t length = std::strcspn(line, "\r\n");
        line[length] = '\0';
        if (length == 0 || std::strcmp(line, "a") == 0) {
            QsctlAmPost(QSCTL_AM_ACQUIRE);
        } else if (std::strcmp(line, "r") == 0) {
            QsctlAmPost(QSCTL_AM_RELEASE);
        } else if (std::strcmp(line, "q") == 0) {
            break;
        } else {
            std::fprintf(stderr, "qsctl am: \"%s\": Enter or a asks for the quorum, r releases it, q quits\n", line);
        }
    }
    QsctlAmPost(QSCTL_AM_QUIT);
    return 0;
}

}  // namespace

void QsctlAmPost(QSCTL_AM_COMMAND command)
{
    EnterCriticalSection(&gLock);
    // Nothing is queued after a quit; a full queue drops key presses but never the quit.
    if (!gQuitPosted && (gCount < QSCTL_AM_QUEUE_SIZE - 1 || (command == QSCTL_AM_QUIT && gCount < QSCTL_AM_QUEUE_SIZE))) {
        gQueue[(gHead + gCount) % QSCTL_AM_QUEUE_SIZE] = command;
        gCount++;
    }
    if (command == QSCTL_AM_QUIT) gQuitPosted = TRUE;
    LeaveCriticalSection(&gLock);
}

QSCTL_AM_COMMAND QsctlAmTakeCommand()
{
    EnterCriticalSection(&gLock);
    QSCTL_AM_COMMAND command = QSCTL_AM_NOTHING;
    if (gCount > 0) {
        command = gQueue[gHead];
        gHead = (gHead + 1) % QSCTL_AM_QUEUE_SIZE;
        gCount--;
    }
    LeaveCriticalSection(&gLock);
    return command;
}

BOOL QsctlAmStartInput()
{
    InitializeCriticalSection(&gLock);
    // Signals are routed before any thread exists, so that only the layer's thread takes them.
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        std::fprintf(stderr, "qsctl am: SetConsoleCtrlHandler failed (error %u)\n", (unsigned)GetLastError());
        return FALSE;
    }
    if (!QsctlAmRouteAcquireSignal()) return FALSE;
    HANDLE reader = CreateThread(NULL, 0, ReadInput, NULL, 0, NULL);
    if (!reader) {
        std::fprintf(stderr, "qsctl am: CreateThread failed (error %u)\n", (unsigned)GetLastError());
        return FALSE;
    }
    // The reader may be blocked in a read when the simulator ends; the process exit ends it.
    CloseHandle(reader);
    return TRUE;
}
