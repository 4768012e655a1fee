#include "fuzz_support.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Qss/net/packet.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/instance_table.h"
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
    std::filesystem::remove_all(StateDir() + "/registry", ignored);
    std::filesystem::resize_file(StateDir() + "/eventlog/Application.jsonl", 0, ignored);
}

bool FillReceiveBuffer(uint8_t* buffer, const uint8_t* bytes, size_t size, bool seal)
{
    if (size > QSS_MAX_PACKET_SIZE) return false;
    std::memset(buffer, 0, QSS_MAX_PACKET_SIZE);
    std::memcpy(buffer, bytes, size);
    if (seal && size >= QSS_PACKET_HEADER_SIZE) {
        QSS_PACKET_HEADER* header = (QSS_PACKET_HEADER*)buffer;
        header->length = (uint32_t)size;
        header->checksum = 0;
        header->checksum = qssChecksum(buffer, size);
    }
    return true;
}

int BindUdp(const char* address, struct sockaddr_in* bound)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(address);
    socklen_t size = sizeof(local);
    if (sock < 0) return -1;
    if (bind(sock, (sockaddr*)&local, sizeof(local)) != 0 || getsockname(sock, (sockaddr*)&local, &size) != 0) {
        close(sock);
        return -1;
    }
    *bound = local;
    return sock;
}

void ForEachDatagram(const uint8_t* data, size_t size,
                     const std::function<void(uint8_t flags, const uint8_t* bytes, size_t length)>& deliver)
{
    for (size_t pos = 0; pos + 3 <= size;) {
        uint8_t flags = data[pos];
        size_t length = data[pos + 1] | (size_t)data[pos + 2] << 8;
        pos += 3;
        if (length > size - pos) length = size - pos;
        deliver(flags, data + pos, length);
        pos += length;
    }
}

bool ResetServer(const std::function<void()>& afterTimers)
{
    if (!DeleteTimerQueueEx(qssHTimerQueue, INVALID_HANDLE_VALUE)) return false;
    afterTimers();
    qssDeleteAllInstances();
    qssServerInfo.activeInstanceCount = 0;
    qssHTimerQueue = CreateTimerQueue();
    if (!qssHTimerQueue) return false;
    ClearStateDir();
    return true;
}

}  // namespace dvfuzz
