// Whether a module file is loaded in any process that can be inspected.
#include <cstring>

#include "installer-support/kelbrook.h"

namespace {

// Only a to z change, as under the classic locale. The library shares the
// host process's locale on some systems, and the host's choice of locale
// must not change which paths match.
WCHAR UpperCase(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - ('a' - 'A')) : c; }

// Full paths match only with equal length and equal characters throughout.
bool SamePath(const WCHAR* target, size_t targetLength, const WCHAR* modulePath)
{
    size_t i = 0;
    for (; i < MAX_PATH && modulePath[i] != 0; ++i) {
        if (i == targetLength || UpperCase(modulePath[i]) != target[i])
            return false;
    }
    return i == targetLength;
}

// A process whose modules cannot be listed is skipped, not an error.
bool LoadedInProcess(DWORD processId, const WCHAR* target, size_t targetLength)
{
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (modules == INVALID_HANDLE_VALUE)
        return false;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    bool found = false;
    for (BOOL more = Module32FirstW(modules, &module); more && !found; more = Module32NextW(modules, &module))
        found = SamePath(target, targetLength, module.szExePath);
    CloseHandle(modules);
    return found;
}

}  // namespace

bool WINAPIV ZelInsIsModuleLoaded(LPCSTR modulePath)
{
    // No module path is longer than MAX_PATH - 1 characters, so a longer
    // name cannot match and needs no room.
    size_t targetLength = strlen(modulePath);
    if (targetLength >= MAX_PATH)
        return false;
    // Each byte becomes the code unit of the same value.
    WCHAR target[MAX_PATH];
    for (size_t i = 0; i < targetLength; ++i)
        target[i] = UpperCase(static_cast<WCHAR>(static_cast<unsigned char>(modulePath[i])));

    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32 process = {};
    process.dwSize = sizeof process;
    bool found = false;
    for (BOOL more = Process32First(processes, &process); more && !found; more = Process32Next(processes, &process))
        found = LoadedInProcess(process.th32ProcessID, target, targetLength);
    CloseHandle(processes);
    return found;
}
