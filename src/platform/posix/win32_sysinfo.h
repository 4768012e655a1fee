// Computer name, version, modules.
#pragma once

#include "win32_types.h"

#define MAX_COMPUTERNAME_LENGTH 15

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;
typedef OSVERSIONINFOA OSVERSIONINFO;

#define VER_PLATFORM_WIN32_NT 2

typedef LONG_PTR (*FARPROC)(void);

// The short host name in upper case (at most 15 characters), or $COMPUTERNAME
// as given when set and not empty. *nSize is the buffer's size on entry and the
// name's length on success; a buffer too small fails with ERROR_BUFFER_OVERFLOW
// and *nSize set to the size needed, terminator included.
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
// Reports 6.2 (build 9200), platform NT; the size field must be sizeof(OSVERSIONINFOA).
BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
// Only the running executable (a null module). A path that does not fit is cut,
// terminated, and nSize is returned with ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
