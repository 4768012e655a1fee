// A small service written as Win32 service code, for the service manager's
// tests: it registers its handler, reports its states, writes what it sees to
// a journal in its state folder, and runs until STOP.
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/win32.h"

namespace {

char gName[] = "DvSample";
char gContext[] = "sample-context";
SERVICE_STATUS_HANDLE gStatusHandle;
SERVICE_STATUS gStatus;
std::mutex gMutex;
std::condition_variable gStopChanged;
bool gStopRequested = false;
bool gFailStart = false;

void Journal(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
    line[length++] = '\n';
    const char* dir = std::getenv("DORVANE_STATE_DIR");
    std::string path = std::string(dir ? dir : ".") + "/sample-service.journal";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line, static_cast<size_t>(length));
    (void)ignored;
    close(fd);
}

const char* Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "(unset)";
}

void Report(DWORD state, DWORD exitCode, DWORD specificExitCode)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT;
    gStatus.dwWin32ExitCode = exitCode;
    gStatus.dwServiceSpecificExitCode = specificExitCode;
    gStatus.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : gStatus.dwCheckPoint + 1;
    gStatus.dwWaitHint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : 3000;
    if (!SetServiceStatus(gStatusHandle, &gStatus)) Journal("SetServiceStatus failed %u", GetLastError());
}

DWORD WINAPI Handler(DWORD control, DWORD eventType, LPVOID, LPVOID context)
{
    bool onMainThread = syscall(SYS_gettid) == getpid();
    Journal("control %u event %u context %s thread %s", control, eventType, static_cast<const char*>(context),
            onMainThread ? "dispatcher" : "other");
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 0, 0);
        std::lock_guard<std::mutex> lock(gMutex);
        gStopRequested = true;
        gStopChanged.notify_all();
    } else if (control == SERVICE_CONTROL_INTERROGATE) {
        DWORD current;
        {
            std::lock_guard<std::mutex> lock(gMutex);
            current = gStatus.dwCurrentState;
        }
        Report(current, 0, 0);
    }
    return NO_ERROR;
}

VOID WINAPI ServiceMain(DWORD argc, LPSTR* argv)
{
    gStatusHandle = RegisterServiceCtrlHandlerExA(gName, Handler, gContext);
    if (!gStatusHandle) {
        Journal("RegisterServiceCtrlHandlerEx failed %u", GetLastError());
        return;
    }
    std::string args;
    for (DWORD i = 0; i < argc; ++i) args += std::string(i ? " " : "") + argv[i];
    Journal("main pid %d args %s", static_cast<int>(getpid()), args.c_str());
    Journal("env COMPUTERNAME=%s DORVANE_HOSTS=%s NOTIFY_SOCKET=%s", Env("COMPUTERNAME"), Env("DORVANE_HOSTS"),
            Env("NOTIFY_SOCKET"));
    Report(SERVICE_START_PENDING, 0, 0);
    if (gFailStart) {
        Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 7);
        return;
    }
    Report(SERVICE_RUNNING, 0, 0);
    {
        std::unique_lock<std::mutex> lock(gMutex);
        gStopChanged.wait(lock, [] { return gStopRequested; });
    }
    Journal("stopping");
    Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fail-start") == 0) gFailStart = true;
    }
    SERVICE_TABLE_ENTRYA table[] = {{gName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        std::printf("StartServiceCtrlDispatcher failed %u\n", GetLastError());
        return 3;
    }
    return 0;
}
