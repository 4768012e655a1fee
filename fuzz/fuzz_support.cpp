#include "fuzz_support.h"

#include <stdarg.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "Qss/service/lifecycle.h"

// The event log also goes to syslog; a fuzzer writes events by the hundred
// thousand, which must not land in the machine's journal. These replace the C
// library's functions for the harness executables only.
extern "C" void openlog(const char*, int, int) {}
extern "C" void syslog(int, const char*, ...) {}
extern "C" void closelog(void) {}

// The server library leaves the service's stop to the program. Only a failed
// wait of the server thread asks for it, and no harness runs that thread.
void Qss_ServiceStop(DWORD) { std::abort(); }

namespace dvfuzz {
namespace {

std::string& StateDir()
{
    static std::string folder;
    return folder;
}

void RemoveStateDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(StateDir(), ignored);
}

// Through the registry, whose database stays open for the process.
void DeleteSubkeys(HKEY key)
{
    char name[256];
    DWORD length = sizeof name;
    while (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        HKEY sub;
        if (RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) std::abort();
        DeleteSubkeys(sub);
        RegCloseKey(sub);
        if (RegDeleteKeyA(key, name) != ERROR_SUCCESS) std::abort();
        length = sizeof name;
    }
}

}  // namespace

const std::string& UsePrivateStateDir()
{
    std::string& folder = StateDir();
    if (!folder.empty()) return folder;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/dorvane-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    folder = pattern;
    setenv("DORVANE_STATE_DIR", folder.c_str(), 1);
    std::atexit(RemoveStateDir);
    return folder;
}

void ClearStateDir()
{
    std::error_code ignored;
    DeleteSubkeys(HKEY_LOCAL_MACHINE);
    std::filesystem::resize_file(StateDir() + "/eventlog/Application.jsonl", 0, ignored);
}

}  // namespace dvfuzz
