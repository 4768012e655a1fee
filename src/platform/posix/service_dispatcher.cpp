// The service process's side: the dispatcher that connects to whoever started
// the process (StartServiceA or systemd), runs the service main on its own
// thread and runs the control handler on the dispatcher's thread, as Windows does.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/posix/service_state.h"
#include "platform/posix/signal_relay.h"
#include "platform/win32.h"

namespace {

struct Dispatcher {
    std::mutex mutex;
    bool connected = false;
    std::string name;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    dvservice::PublishedStatus published = {};
    int wake[2] = {-1, -1};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> resumeRequested{false};
    std::atomic<bool> mainReturned{false};
};

// Lives as long as the process, so late calls from other threads find it.
Dispatcher gDispatcher;
std::once_flag gWakeOnce;

SERVICE_STATUS_HANDLE StatusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(&gDispatcher); }

void Wake()
{
    char byte = 1;
    ssize_t ignored = write(gDispatcher.wake[1], &byte, 1);
    (void)ignored;
}

void OnServiceSignal(int signo)
{
    if (signo == SIGTERM) {
        gDispatcher.stopRequested = true;
    } else {
        gDispatcher.resumeRequested = true;
    }
    Wake();
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Where the process came from. Fills in the service's name, the service main's
// arguments, its lock and the channel to greet (-1 under systemd).
struct Origin {
    std::string name;
    std::vector<std::string> args;
    int lockFd = -1;
    int channelFd = -1;
};

DWORD ReceiveArguments(int channel, std::vector<std::string>* args)
{
    pollfd wait = {channel, POLLIN, 0};
    if (poll(&wait, 1, dvservice::kServiceTimeoutMs) != 1) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    std::vector<char> message(65536);
    ssize_t got = recv(channel, message.data(), message.size(), 0);
    if (got <= 0) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    for (ssize_t at = 0; at < got;) {
        args->emplace_back(message.data() + at);
        at += static_cast<ssize_t>(args->back().size()) + 1;
    }
    return ERROR_SUCCESS;
}

DWORD FindOrigin(const SERVICE_TABLE_ENTRYA* table, Origin* origin)
{
    const char* name = std::getenv(dvservice::kNameVariable);
    const char* channel = std::getenv(dvservice::kChannelVariable);
    if (name && channel) {
        origin->name = name;
        bool parsed = std::sscanf(channel, "%d,%d", &origin->channelFd, &origin->lockFd) == 2 &&
                      fcntl(origin->channelFd, F_SETFD, FD_CLOEXEC) == 0 &&
                      fcntl(origin->lockFd, F_SETFD, FD_CLOEXEC) == 0;
        // The service's own children are not services.
        unsetenv(dvservice::kNameVariable);
        unsetenv(dvservice::kChannelVariable);
        if (!parsed) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        return ReceiveArguments(origin->channelFd, &origin->args);
    }
    // A shell started from a user's systemd unit inherits INVOCATION_ID too; only
    // the system manager (our parent, pid 1) or a notify socket makes this a service.
    const char* notify = std::getenv("NOTIFY_SOCKET");
    bool systemManager = std::getenv("INVOCATION_ID") && getppid() == 1;
    if (!notify && !systemManager) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    origin->name = table[0].lpServiceName;
    origin->args = {origin->name};
    origin->lockFd = dvservice::OpenLockFile(origin->name);
    if (origin->lockFd < 0) return DvWin32ErrorFromErrno(errno);
    int err = dvservice::TryLock(origin->lockFd);
    if (err == EAGAIN) return ERROR_SERVICE_ALREADY_RUNNING;
    return err == 0 ? ERROR_SUCCESS : DvWin32ErrorFromErrno(err);
}

const SERVICE_TABLE_ENTRYA* FindEntry(const SERVICE_TABLE_ENTRYA* table, const std::string& name)
{
    for (; table->lpServiceName && table->lpServiceProc; ++table) {
        if (strcasecmp(table->lpServiceName, name.c_str()) == 0) return table;
    }
    return nullptr;
}

int Listen(const std::string& name)
{
    sockaddr_un address;
    if (!dvservice::ControlAddress(name, &address)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(address.sun_path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Under systemd, the state on its notify socket (NOTIFY_SOCKET, which the
// services this process starts do not inherit); elsewhere nothing.
void NotifySystemd(const SERVICE_STATUS& status)
{
    const char* message = "STATUS=Paused";
    switch (status.dwCurrentState) {
    case SERVICE_START_PENDING: message = "STATUS=Starting"; break;
    case SERVICE_RUNNING: message = "READY=1\nSTATUS=Running"; break;
    case SERVICE_STOP_PENDING: message = "STOPPING=1\nSTATUS=Stopping"; break;
    case SERVICE_STOPPED: message = "STATUS=Stopped"; break;
    default: break;
    }
    sd_notify(0, message);
}

DWORD AcceptedFlag(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN: return SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PARAMCHANGE: return SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_ACCEPT_NETBINDCHANGE;
    case SERVICE_CONTROL_POWEREVENT: return SERVICE_ACCEPT_POWEREVENT;
    default: return 0;
    }
}

bool Pending(DWORD state)
{
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

DWORD Admissible(LPHANDLER_FUNCTION_EX handler, const SERVICE_STATUS& status, DWORD control)
{
    if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (!handler || Pending(status.dwCurrentState)) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    DWORD needed = AcceptedFlag(control);
    if (needed && !(status.dwControlsAccepted & needed)) return ERROR_INVALID_SERVICE_CONTROL;
    return ERROR_SUCCESS;
}

// Runs the handler on this thread when the service's state admits the control.
DWORD RunControl(DWORD control, DWORD eventType, SERVICE_STATUS* after)
{
    LPHANDLER_FUNCTION_EX handler;
    LPVOID context;
    SERVICE_STATUS before;
    {
        std::lock_guard<std::mutex> lock(gDispatcher.mutex);
        handler = gDispatcher.handler;
        context = gDispatcher.context;
        before = gDispatcher.published.status;
    }
    DWORD error = Admissible(handler, before, control);
    if (error == ERROR_SUCCESS) error = handler(control, eventType, nullptr, context);
    std::lock_guard<std::mutex> lock(gDispatcher.mutex);
    *after = gDispatcher.published.status;
    return error;
}

// A SIGTERM that arrives before the service accepts STOP waits until it does.
void RunSignalledControls()
{
    SERVICE_STATUS after;
    if (gDispatcher.stopRequested) {
        DWORD error = RunControl(SERVICE_CONTROL_STOP, 0, &after);
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL || after.dwCurrentState == SERVICE_STOP_PENDING) {
            gDispatcher.stopRequested = false;
        }
    }
    if (gDispatcher.resumeRequested.exchange(false)) {
        RunControl(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, &after);
    }
}

void AnswerControl(int listenFd)
{
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    pollfd wait = {fd, POLLIN, 0};
    dvservice::ControlRequest request;
    if (poll(&wait, 1, 1000) == 1 && recv(fd, &request, sizeof request, 0) == sizeof request) {
        dvservice::ControlReply reply;
        reply.error = RunControl(request.control, request.eventType, &reply.status);
        send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
    }
    close(fd);
}

void ServeControls(int listenFd)
{
    while (!gDispatcher.mainReturned) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {gDispatcher.wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            char drain[64];
            while (read(gDispatcher.wake[0], drain, sizeof drain) > 0) {
            }
            RunSignalledControls();
        }
        if (fds[0].revents) AnswerControl(listenFd);
    }
}

DWORD Serve(const SERVICE_TABLE_ENTRYA* entry, Origin& origin)
{
    int listenFd = Listen(origin.name);
    if (listenFd < 0) return DvWin32ErrorFromErrno(errno);
    {
        std::lock_guard<std::mutex> lock(gDispatcher.mutex);
        gDispatcher.name = origin.name;
        gDispatcher.handler = nullptr;
        gDispatcher.published = dvservice::StoppedStatus(ERROR_SUCCESS);
        gDispatcher.published.status.dwCurrentState = SERVICE_START_PENDING;
        gDispatcher.published.processId = static_cast<DWORD>(getpid());
        dvservice::WriteStatus(origin.name, gDispatcher.published);
    }
    gDispatcher.stopRequested = false;
    gDispatcher.resumeRequested = false;
    gDispatcher.mainReturned = false;
    // Blocked here before the service main's thread exists, so that no thread of the service sees them.
    dvsignal::Route(SIGTERM, OnServiceSignal);
    dvsignal::Route(SIGUSR1, OnServiceSignal);
    if (origin.channelFd >= 0) {
        DWORD hello = 0;
        send(origin.channelFd, &hello, sizeof hello, MSG_NOSIGNAL);
        close(origin.channelFd);
    }
    std::vector<char*> argv;
    for (std::string& arg : origin.args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::thread serviceMain([&] {
        entry->lpServiceProc(static_cast<DWORD>(argv.size() - 1), argv.data());
        gDispatcher.mainReturned = true;
        Wake();
    });
    ServeControls(listenFd);
    serviceMain.join();
    dvsignal::Unroute(SIGTERM);
    dvsignal::Unroute(SIGUSR1);
    close(listenFd);
    sockaddr_un address;
    if (dvservice::ControlAddress(origin.name, &address)) unlink(address.sun_path);
    return ERROR_SUCCESS;
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable)
{
    if (!lpServiceStartTable || !lpServiceStartTable->lpServiceName || !lpServiceStartTable->lpServiceProc) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::call_once(gWakeOnce, [] { pipe2(gDispatcher.wake, O_CLOEXEC | O_NONBLOCK); });
    {
        std::lock_guard<std::mutex> lock(gDispatcher.mutex);
        if (gDispatcher.connected) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
        gDispatcher.connected = true;
    }
    Origin origin;
    DWORD error = FindOrigin(lpServiceStartTable, &origin);
    const SERVICE_TABLE_ENTRYA* entry = nullptr;
    if (error == ERROR_SUCCESS) {
        entry = FindEntry(lpServiceStartTable, origin.name);
        if (!entry) error = ERROR_SERVICE_NOT_IN_EXE;
    }
    if (error == ERROR_SUCCESS) error = Serve(entry, origin);
    {
        std::lock_guard<std::mutex> lock(gDispatcher.mutex);
        gDispatcher.connected = false;
        gDispatcher.handler = nullptr;
    }
    // Releasing the lock is what makes the service read as stopped.
    if (origin.lockFd >= 0) close(origin.lockFd);
    if (error != ERROR_SUCCESS && origin.channelFd >= 0) close(origin.channelFd);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext)
{
    if (!lpServiceName || !lpHandlerProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(gDispatcher.mutex);
    if (!gDispatcher.connected || strcasecmp(lpServiceName, gDispatcher.name.c_str()) != 0) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    gDispatcher.handler = lpHandlerProc;
    gDispatcher.context = lpContext;
    return StatusHandle();
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    if (hServiceStatus != StatusHandle()) return Fail(ERROR_INVALID_HANDLE);
    if (!lpServiceStatus || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        return Fail(ERROR_INVALID_DATA);
    }
    DWORD error;
    {
        std::lock_guard<std::mutex> lock(gDispatcher.mutex);
        if (!gDispatcher.connected || !gDispatcher.handler) return Fail(ERROR_INVALID_HANDLE);
        // A removal that waited for the stop completes before anyone can see
        // the service stopped, so that nobody else completes it twice.
        if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED && dvservice::MarkedForDeletion(gDispatcher.name)) {
            dvservice::DeleteServiceNow(gDispatcher.name);
        }
        gDispatcher.published.status = *lpServiceStatus;
        error = dvservice::WriteStatus(gDispatcher.name, gDispatcher.published);
        NotifySystemd(*lpServiceStatus);
    }
    Wake();
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}
