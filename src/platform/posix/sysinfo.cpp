// Computer name, version and the running executable's path.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "platform/win32.h"

namespace {

// Windows' NetBIOS name: the host name's first label, upper case, cut to 15.
std::string netbiosNameFromHostName(const char* hostName)
{
    std::string name;
    for (const char* p = hostName; *p && *p != '.' && name.size() < MAX_COMPUTERNAME_LENGTH; ++p) {
        name += (char)toupper((unsigned char)*p);
    }
    return name;
}

}  // namespace

BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize)
{
    if (!nSize || (!lpBuffer && *nSize > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name;
    const char* configured = getenv("COMPUTERNAME");
    if (configured && *configured) {
        name = configured;
    } else {
        char hostName[HOST_NAME_MAX + 1];
        if (gethostname(hostName, sizeof(hostName)) != 0) {
            SetLastError(DvWin32ErrorFromErrno(errno));
            return FALSE;
        }
        hostName[HOST_NAME_MAX] = '\0';
        name = netbiosNameFromHostName(hostName);
    }
    DWORD needed = (DWORD)name.size() + 1;
    if (*nSize < needed) {
        *nSize = needed;
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    memcpy(lpBuffer, name.c_str(), needed);
    *nSize = needed - 1;
    return TRUE;
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (!lpVersionInformation || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // What Windows reports to a program without a compatibility manifest.
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 2;
    lpVersionInformation->dwBuildNumber = 9200;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = '\0';
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    char path[PATH_MAX + 1];
    ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length < 0) {
        SetLastError(DvWin32ErrorFromErrno(errno));
        return 0;
    }
    path[length] = '\0';
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Windows cuts a path that does not fit, terminates it and returns the size.
    if ((DWORD)length >= nSize) {
        memcpy(lpFilename, path, nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, path, (size_t)length + 1);
    return (DWORD)length;
}
