// The manager's side of a service process: starting it as a detached daemon,
// and sending it controls through its control socket.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/posix/service_handles.h"
#include "platform/posix/service_state.h"
#include "platform/posix/state_dir.h"
#include "platform/win32.h"

extern char** environ;

namespace {

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Splits a command line as Windows does: the program is the first token, up
// to a closing quote when it starts with one; in the arguments, quotes group
// blanks and backslashes only escape a quote.
std::vector<std::string> SplitCommandLine(const std::string& line)
{
    std::vector<std::string> words;
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos) return words;
    if (line[at] == '"') {
        size_t close = line.find('"', at + 1);
        words.push_back(line.substr(at + 1, close == std::string::npos ? std::string::npos : close - at - 1));
        at = close == std::string::npos ? line.size() : close + 1;
    } else {
        size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? line.size() : end;
    }
    for (;;) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos) return words;
        std::string word;
        bool quoted = false;
        for (; at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t')); ++at) {
            size_t slashes = 0;
            while (at < line.size() && line[at] == '\\') {
                ++slashes;
                ++at;
            }
            if (at < line.size() && line[at] == '"') {
                word.append(slashes / 2, '\\');
                if (slashes % 2) {
                    word += '"';
                } else {
                    quoted = !quoted;
                }
            } else {
                word.append(slashes, '\\');
                if (at == line.size()) break;
                if (!quoted && (line[at] == ' ' || line[at] == '\t')) break;
                word += line[at];
            }
        }
        words.push_back(word);
    }
}

bool NameIs(const char* entry, const char* name)
{
    size_t length = std::strlen(name);
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// The starter's environment, without what would make the daemon think systemd
// runs it, with the state folder and hosts file made absolute, and with the
// channel the dispatcher connects through.
std::vector<std::string> ServiceEnvironment(const std::string& name, int channelFd, int lockFd)
{
    static const char* const kReplaced[] = {"NOTIFY_SOCKET", "INVOCATION_ID",     "LISTEN_PID",
                                            "LISTEN_FDS",    "LISTEN_FDNAMES",    "WATCHDOG_PID",
                                            "WATCHDOG_USEC", "DORVANE_STATE_DIR", "DORVANE_HOSTS",
                                            dvservice::kNameVariable, dvservice::kChannelVariable};
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        bool replaced = false;
        for (const char* variable : kReplaced) replaced = replaced || NameIs(*entry, variable);
        if (!replaced) env.push_back(*entry);
    }
    std::error_code ignored;
    env.push_back("DORVANE_STATE_DIR=" + std::filesystem::absolute(dvstate::StateDir(), ignored).string());
    const char* hosts = std::getenv("DORVANE_HOSTS");
    if (hosts && *hosts) env.push_back("DORVANE_HOSTS=" + std::filesystem::absolute(hosts, ignored).string());
    env.push_back(std::string(dvservice::kNameVariable) + "=" + name);
    env.push_back(std::string(dvservice::kChannelVariable) + "=" + std::to_string(channelFd) + "," +
                  std::to_string(lockFd));
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int AtLeastThree(int fd)
{
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// The daemon's side between fork and exec: async-signal-safe calls only.
[[noreturn]] void BecomeDaemon(char* const* argv, char* const* envp, int report, int channelFd, int lockFd,
                               int devNull, int logFd)
{
    setsid();
    pid_t daemon = fork();
    if (daemon != 0) {
        if (daemon < 0) {
            int none[2] = {0, errno};
            ssize_t ignored = write(report, none, sizeof none);
            (void)ignored;
        }
        _exit(0);
    }
    int pid = getpid();
    if (write(report, &pid, sizeof pid) != sizeof pid) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int signo = 1; signo < NSIG; ++signo) sigaction(signo, &defaults, nullptr);
    dup2(devNull, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    fcntl(channelFd, F_SETFD, 0);
    fcntl(lockFd, F_SETFD, 0);
    umask(077);
    if (chdir("/") == 0) execve(argv[0], argv, envp);
    int err = errno;
    ssize_t ignored = write(report, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

// Reads the daemon's pid and, when exec failed, its errno. Returns a Win32 error.
DWORD ReadLaunchReport(int report, pid_t* daemon)
{
    int words[2] = {0, 0};
    size_t got = 0;
    while (got < sizeof words) {
        ssize_t n = read(report, reinterpret_cast<char*>(words) + got, sizeof words - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    *daemon = got >= sizeof(int) ? words[0] : 0;
    if (got < sizeof(int)) return ERROR_GEN_FAILURE;
    if (got == sizeof words) return words[1] == ENOENT ? ERROR_FILE_NOT_FOUND : DvWin32ErrorFromErrno(words[1]);
    return *daemon > 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

// Waits for the dispatcher's hello; a process that ends first, or never
// connects, did not start as a service.
DWORD AwaitDispatcher(int channel, pid_t daemon)
{
    pollfd wait = {channel, POLLIN, 0};
    int ready;
    do {
        ready = poll(&wait, 1, dvservice::kServiceTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    DWORD hello = 1;
    if (ready == 1 && recv(channel, &hello, sizeof hello, 0) == sizeof hello && hello == 0) return ERROR_SUCCESS;
    if (ready == 0) kill(daemon, SIGKILL);
    return ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD Launch(const std::string& name, const std::string& imagePath, const std::vector<std::string>& args,
             int lockFd)
{
    std::vector<std::string> argv = SplitCommandLine(imagePath);
    if (argv.empty()) return ERROR_FILE_NOT_FOUND;
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) return DvWin32ErrorFromErrno(errno);
    channel[1] = AtLeastThree(channel[1]);
    int childLock = fcntl(lockFd, F_DUPFD_CLOEXEC, 3);
    int report[2] = {-1, -1};
    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    int logFd = open(dvservice::RunFile(name, ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    DWORD error = ERROR_SUCCESS;
    if (channel[1] < 0 || childLock < 0 || devNull < 0 || logFd < 0 || pipe2(report, O_CLOEXEC) != 0) {
        error = DvWin32ErrorFromErrno(errno);
    }
    std::vector<std::string> env = ServiceEnvironment(name, channel[1], childLock);
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(env);
    pid_t first = -1;
    if (error == ERROR_SUCCESS) {
        first = fork();
        if (first == 0) {
            BecomeDaemon(argvPointers.data(), envPointers.data(), report[1], channel[1], childLock, devNull, logFd);
        }
        if (first < 0) error = DvWin32ErrorFromErrno(errno);
    }
    for (int fd : {channel[1], childLock, devNull, logFd, report[1]}) {
        if (fd >= 0) close(fd);
    }
    if (first > 0) {
        // The service main's arguments: the service's name, then the caller's.
        std::string message = name + '\0';
        for (const std::string& arg : args) message += arg + '\0';
        send(channel[0], message.data(), message.size(), MSG_NOSIGNAL);
        while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_t daemon = 0;
        error = ReadLaunchReport(report[0], &daemon);
        if (error == ERROR_SUCCESS) error = AwaitDispatcher(channel[0], daemon);
    }
    if (report[0] >= 0) close(report[0]);
    close(channel[0]);
    return error;
}

// Takes the service's lock for the new process; a process that has reported
// SERVICE_STOPPED but not yet ended is given a moment to end.
DWORD TakeStartLock(const std::string& name, int lockFd)
{
    for (int waited = 0;; waited += 10) {
        int err = dvservice::TryLock(lockFd);
        if (err == 0) return ERROR_SUCCESS;
        if (err != EAGAIN) return DvWin32ErrorFromErrno(err);
        if (dvservice::IsActive(name) || waited >= dvservice::kServiceTimeoutMs) return ERROR_SERVICE_ALREADY_RUNNING;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

DWORD ReadStartConfig(const std::string& name, std::string* imagePath)
{
    HKEY key;
    LSTATUS result = dvservice::OpenServiceKey(name, KEY_READ, &key);
    if (result != ERROR_SUCCESS) return ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD start = SERVICE_DEMAND_START;
    DWORD size = sizeof start;
    RegQueryValueExA(key, "Start", nullptr, nullptr, reinterpret_cast<BYTE*>(&start), &size);
    char path[4096] = "";
    size = sizeof path - 1;
    result = RegQueryValueExA(key, "ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    if (start == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
    if (result != ERROR_SUCCESS) return ERROR_FILE_NOT_FOUND;
    path[size] = '\0';
    *imagePath = path;
    return ERROR_SUCCESS;
}

bool KnownControl(DWORD control)
{
    return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_NETBINDDISABLE &&
            control != SERVICE_CONTROL_SHUTDOWN) ||
           (control >= 128 && control <= 255);
}

DWORD AccessForControl(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE;
    default: return control >= 128 ? SERVICE_USER_DEFINED_CONTROL : SERVICE_PAUSE_CONTINUE;
    }
}

DWORD SendControl(const std::string& name, DWORD control, dvservice::ControlReply* reply)
{
    sockaddr_un address;
    if (!dvservice::ControlAddress(name, &address)) return ERROR_BAD_PATHNAME;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return DvWin32ErrorFromErrno(errno);
    DWORD error = ERROR_SUCCESS;
    dvservice::ControlRequest request = {control, 0};
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        // Not listening yet while it starts, or no longer while it ends.
        bool starting = dvservice::CurrentStatus(name).status.dwCurrentState == SERVICE_START_PENDING;
        error = starting ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL : ERROR_SERVICE_NOT_ACTIVE;
    } else if (send(fd, &request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        error = ERROR_SERVICE_NOT_ACTIVE;
    } else {
        pollfd wait = {fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&wait, 1, dvservice::kServiceTimeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            error = ERROR_SERVICE_REQUEST_TIMEOUT;
        } else if (recv(fd, reply, sizeof *reply, 0) != sizeof *reply) {
            error = ERROR_SERVICE_NOT_ACTIVE;
        }
    }
    close(fd);
    return error;
}

}  // namespace

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors)
{
    std::string name;
    DWORD error = dvservice::CheckLiveService(hService, SERVICE_START, &name);
    if (error == ERROR_SUCCESS && dwNumServiceArgs && !lpServiceArgVectors) error = ERROR_INVALID_PARAMETER;
    std::string imagePath;
    if (error == ERROR_SUCCESS) error = ReadStartConfig(name, &imagePath);
    if (error != ERROR_SUCCESS) return Fail(error);
    std::vector<std::string> args;
    for (DWORD i = 0; i < dwNumServiceArgs; ++i) args.push_back(lpServiceArgVectors[i] ? lpServiceArgVectors[i] : "");
    int lockFd = dvservice::OpenLockFile(name);
    if (lockFd < 0) return Fail(DvWin32ErrorFromErrno(errno));
    error = TakeStartLock(name, lockFd);
    if (error == ERROR_SUCCESS) {
        dvservice::PublishedStatus starting = dvservice::StoppedStatus(ERROR_SUCCESS);
        starting.status.dwCurrentState = SERVICE_START_PENDING;
        error = dvservice::WriteStatus(name, starting);
        if (error == ERROR_SUCCESS) error = Launch(name, imagePath, args, lockFd);
        if (error != ERROR_SUCCESS) dvservice::WriteStatus(name, dvservice::StoppedStatus(error));
    }
    close(lockFd);
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    std::string name;
    DWORD error = dvservice::CheckServiceHandle(hService, 0, &name);
    if (error == ERROR_SUCCESS && (!KnownControl(dwControl) || !lpServiceStatus)) error = ERROR_INVALID_PARAMETER;
    if (error == ERROR_SUCCESS) error = dvservice::CheckServiceHandle(hService, AccessForControl(dwControl), &name);
    if (error == ERROR_SUCCESS && !dvservice::ServiceExists(name)) error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (error != ERROR_SUCCESS) return Fail(error);
    dvservice::PublishedStatus current = dvservice::CurrentStatus(name);
    *lpServiceStatus = current.status;
    if (current.status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    dvservice::ControlReply reply;
    error = SendControl(name, dwControl, &reply);
    if (error == ERROR_SUCCESS) {
        *lpServiceStatus = reply.status;
        error = reply.error;
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}
