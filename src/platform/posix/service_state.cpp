#include "platform/posix/service_state.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/state_dir.h"

namespace dvservice {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char kNameVariable[] = "DORVANE_SERVICE_NAME";
const char kChannelVariable[] = "DORVANE_SERVICE_CHANNEL";

namespace {

const DWORD kMaxServiceName = 256;

std::string Lower(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string ServiceKeyPath(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }

bool ReadStatus(const std::string& name, PublishedStatus* published)
{
    FILE* file = std::fopen(RunFile(name, ".status").c_str(), "re");
    if (!file) return false;
    SERVICE_STATUS& s = published->status;
    int fields = std::fscanf(file, "%u %u %u %u %u %u %u %u", &s.dwServiceType, &s.dwCurrentState,
                             &s.dwControlsAccepted, &s.dwWin32ExitCode, &s.dwServiceSpecificExitCode,
                             &s.dwCheckPoint, &s.dwWaitHint, &published->processId);
    std::fclose(file);
    return fields == 8;
}

LSTATUS DeleteKeyTree(HKEY parent, const char* subKey)
{
    HKEY key;
    LSTATUS result = RegOpenKeyExA(parent, subKey, 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) return result;
    for (;;) {
        char child[kMaxServiceName + 1];
        DWORD length = sizeof child;
        result = RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) break;
        result = DeleteKeyTree(key, child);
        if (result != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    if (result != ERROR_NO_MORE_ITEMS) return result;
    return RegDeleteKeyA(parent, subKey);
}

}  // namespace

bool ValidServiceName(const char* name)
{
    if (!name) return false;
    size_t length = std::strlen(name);
    return length > 0 && length <= kMaxServiceName && !std::strpbrk(name, "/\\");
}

std::string RunDir() { return dvstate::StateDir() + "/run"; }

std::string RunFile(const std::string& name, const char* suffix)
{
    dvstate::MakePrivateDirs(RunDir());
    return RunDir() + "/" + Lower(name) + suffix;
}

PublishedStatus StoppedStatus(DWORD win32ExitCode)
{
    PublishedStatus stopped = {};
    stopped.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    stopped.status.dwCurrentState = SERVICE_STOPPED;
    stopped.status.dwWin32ExitCode = win32ExitCode;
    return stopped;
}

DWORD WriteStatus(const std::string& name, const PublishedStatus& published)
{
    static std::atomic<unsigned> sequence{0};
    std::string path = RunFile(name, ".status");
    std::string temporary = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(++sequence);
    FILE* file = std::fopen(temporary.c_str(), "we");
    if (!file) return DvWin32ErrorFromErrno(errno);
    const SERVICE_STATUS& s = published.status;
    std::fprintf(file, "%u %u %u %u %u %u %u %u\n", s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted,
                 s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint,
                 published.processId);
    bool written = std::fclose(file) == 0;
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        DWORD error = DvWin32ErrorFromErrno(errno);
        std::remove(temporary.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

void RemoveStatus(const std::string& name) { std::remove(RunFile(name, ".status").c_str()); }

bool ControlAddress(const std::string& name, sockaddr_un* address)
{
    std::string path = RunFile(name, ".sock");
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

int OpenLockFile(const std::string& name)
{
    return open(RunFile(name, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

int TryLock(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
    return (errno == EACCES || errno == EAGAIN) ? EAGAIN : errno;
}

bool LockHeld(const std::string& name)
{
    int fd = open(RunFile(name, ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    return held;
}

PublishedStatus CurrentStatus(const std::string& name)
{
    PublishedStatus published = {};
    bool known = ReadStatus(name, &published);
    bool held = LockHeld(name);
    if (!known) return StoppedStatus(held ? ERROR_SUCCESS : ERROR_SERVICE_NEVER_STARTED);
    if (published.status.dwCurrentState == SERVICE_STOPPED) {
        PublishedStatus stopped = StoppedStatus(published.status.dwWin32ExitCode);
        stopped.status.dwServiceType = published.status.dwServiceType;
        stopped.status.dwServiceSpecificExitCode = published.status.dwServiceSpecificExitCode;
        return stopped;
    }
    if (!held) return StoppedStatus(ERROR_PROCESS_ABORTED);
    return published;
}

bool IsActive(const std::string& name) { return CurrentStatus(name).status.dwCurrentState != SERVICE_STOPPED; }

LSTATUS OpenServiceKey(const std::string& name, REGSAM access, HKEY* key)
{
    LSTATUS result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, access, key);
    if (result != ERROR_SUCCESS) return result;
    DWORD type = 0;
    DWORD size = sizeof type;
    if (RegQueryValueExA(*key, "Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&type), &size) != ERROR_SUCCESS) {
        RegCloseKey(*key);
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

bool ServiceExists(const std::string& name)
{
    HKEY key;
    if (OpenServiceKey(name, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool MarkedForDeletion(const std::string& name)
{
    HKEY key;
    if (OpenServiceKey(name, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD flag = 0;
    DWORD size = sizeof flag;
    bool marked = RegQueryValueExA(key, "DeleteFlag", nullptr, nullptr, reinterpret_cast<BYTE*>(&flag), &size) ==
                      ERROR_SUCCESS &&
                  flag != 0;
    RegCloseKey(key);
    return marked;
}

DWORD DeleteServiceNow(const std::string& name)
{
    HKEY services;
    LSTATUS result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ALL_ACCESS, &services);
    if (result == ERROR_SUCCESS) {
        result = DeleteKeyTree(services, name.c_str());
        RegCloseKey(services);
    }
    if (result == ERROR_SUCCESS) RemoveStatus(name);
    return static_cast<DWORD>(result);
}

void CompleteDeletionIfStopped(const std::string& name)
{
    if (MarkedForDeletion(name) && !IsActive(name)) DeleteServiceNow(name);
}

}  // namespace dvservice
