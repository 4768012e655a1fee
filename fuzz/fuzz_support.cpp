#include "fuzz_support.h"

#include <stdarg.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Qss/service/lifecycle.h"
#include "platform/win32.h"

// The event log also goes to syslog; a fuzzer writes events by the hundred
// thousand, which must not land in the machine's journal. These replace the C
// library's functions for the harness executables only.
extern "C" void openlog(const char*, int, int) {}
extern "C" void syslog(int, const char*, ...) {}
extern "C" void closelog(void) {}

// Events are checked and dropped: a harness reports them by the million and
// reads none, and writing them would cost more than the rest of an input.
// The linker puts these in the place of the event log's calls (--wrap, see
// fuzz/CMakeLists.txt); what a report hands over must still be readable.
char dvEventSource;
size_t dvEventBytesRead;
extern "C" HANDLE __wrap__Z20RegisterEventSourceAPKcS0_(LPCSTR, LPCSTR) { return &dvEventSource; }
extern "C" BOOL __wrap__Z21DeregisterEventSourcePv(HANDLE) { return TRUE; }
extern "C" BOOL __wrap__Z12ReportEventAPvttjS_tjPPKcS_(HANDLE, WORD, WORD, DWORD, PSID, WORD stringCount,
                                                        DWORD dataSize, LPCSTR* strings, LPVOID data)
{
    for (WORD i = 0; i < stringCount; ++i) dvEventBytesRead += std::strlen(strings[i]);
    for (DWORD i = 0; i < dataSize; ++i) dvEventBytesRead += static_cast<const unsigned char*>(data)[i];
    return TRUE;
}

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

}  // namespace dvfuzz
