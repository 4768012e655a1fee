// Modules: LoadLibraryA, GetProcAddress and FreeLibrary over dlopen.
#include <dlfcn.h>
#include <sys/stat.h>

#include <string>

#include "platform/win32.h"

namespace {

std::string ExecutableFolder()
{
    char path[4096];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return std::string();
    std::string executable(path, length);
    size_t slash = executable.rfind('/');
    return slash == std::string::npos ? std::string() : executable.substr(0, slash);
}

bool FileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

HMODULE Open(const std::string& path, bool pathGiven)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        // A file that exists but does not load is a bad image, as on Windows.
        SetLastError(pathGiven && FileExists(path) ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(handle);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name(lpLibFileName);
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    if (name.find('/') != std::string::npos) return Open(name, true);

    std::string besideExecutable = ExecutableFolder() + "/" + name;
    if (FileExists(besideExecutable)) return Open(besideExecutable, true);
    return Open(name, false);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (!lpProcName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* symbol = dlsym(hModule ? static_cast<void*>(hModule) : RTLD_DEFAULT, lpProcName);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    if (!hLibModule || dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
