// Console control handlers: SIGINT and SIGQUIT as Ctrl+C and Ctrl+Break.
#include <algorithm>
#include <csignal>
#include <mutex>
#include <vector>

#include "platform/posix/signal_relay.h"
#include "platform/win32.h"

namespace {

std::mutex gMutex;
std::vector<PHANDLER_ROUTINE> gHandlers;
bool gIgnoreCtrlC = false;
bool gRouted = false;

void OnConsoleSignal(int signo)
{
    DWORD event = signo == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (event == CTRL_C_EVENT && gIgnoreCtrlC) return;
        handlers = gHandlers;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(event)) return;
    }
    dvsignal::RaiseDefault(signo);
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gRouted) {
        int err = dvsignal::Route(SIGINT, OnConsoleSignal);
        if (err == 0) err = dvsignal::Route(SIGQUIT, OnConsoleSignal);
        if (err != 0) {
            SetLastError(DvWin32ErrorFromErrno(err));
            return FALSE;
        }
        gRouted = true;
    }
    if (!HandlerRoutine) {
        gIgnoreCtrlC = Add != FALSE;
        return TRUE;
    }
    if (Add) {
        gHandlers.push_back(HandlerRoutine);
        return TRUE;
    }
    auto found = std::find(gHandlers.rbegin(), gHandlers.rend(), HandlerRoutine);
    if (found == gHandlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    gHandlers.erase(std::next(found).base());
    return TRUE;
}
