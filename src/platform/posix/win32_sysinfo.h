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

// The short host name in upper case (at most 15 characters), or $COMPUTERNAME as given.
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
// A null module means the running executable.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
