// qsctl: asks a quorum server questions from the command line, as an AM would.
//
//   qsctl [--timeout MS] query-service HOST [PORT]   the server's information (QUERY_SERVICE)
//   qsctl [--timeout MS] scan-service HOST [PORT]    the same from every address of HOST (SCAN_SERVICE)
//   qsctl [--timeout MS] attach HOST PORT PVM-ID AM [INSTANCE-TIMEOUT-MS]
//   qsctl [--timeout MS] detach HOST PORT PVM-ID AM
//   qsctl [--timeout MS] keepalive HOST PORT PVM-ID AM
//   qsctl [--timeout MS] query-instance HOST PORT PVM-ID
//   qsctl [--timeout MS] acquire HOST PORT PVM-ID AM HEALTH WINDOW-MS
//   qsctl [--timeout MS] release HOST PORT PVM-ID AM
//
// The instance commands first ask the server for its identity (QUERY_SERVICE)
// and name it in their request; PVM-ID is GUID text, AM is 1 or 2.
//
// Each request is sent up to three times, waiting MS milliseconds (500) for each answer;
// acquire waits WINDOW-MS longer, since the server answers when the vote is decided.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "qsclient.h"
#include "qsinstance.h"
#include "qsquorum.h"

namespace {

constexpr WORD QSCTL_DEFAULT_PORT = 4557;
constexpr DWORD QSCTL_DEFAULT_TIMEOUT_MS = 500;
constexpr int QSCTL_ATTEMPTS = 3;
constexpr int QSCTL_MAX_ADDRESSES = 16;
constexpr DWORD QSCTL_DEFAULT_INSTANCE_TIMEOUT_MS = 10000;
constexpr DWORD QSCTL_KEEPALIVE_INTERVAL_MS = 1000;

int Usage()
{
    std::fprintf(stderr,
                 "usage: qsctl [--timeout MS] query-service HOST [PORT]\n"
                 "       qsctl [--timeout MS] scan-service HOST [PORT]\n"
                 "       qsctl [--timeout MS] attach HOST PORT PVM-ID AM [INSTANCE-TIMEOUT-MS]\n"
                 "       qsctl [--timeout MS] detach HOST PORT PVM-ID AM\n"
                 "       qsctl [--timeout MS] keepalive HOST PORT PVM-ID AM\n"
                 "       qsctl [--timeout MS] query-instance HOST PORT PVM-ID\n"
                 "       qsctl [--timeout MS] acquire HOST PORT PVM-ID AM HEALTH WINDOW-MS\n"
                 "       qsctl [--timeout MS] release HOST PORT PVM-ID AM\n"
                 "PORT defaults to %u; MS, the wait for each answer, to %u; INSTANCE-TIMEOUT-MS to %u.\n"
                 "PVM-ID is GUID text; AM is 1 or 2; HEALTH a number, the higher wins.\n",
                 (unsigned)QSCTL_DEFAULT_PORT, (unsigned)QSCTL_DEFAULT_TIMEOUT_MS,
                 (unsigned)QSCTL_DEFAULT_INSTANCE_TIMEOUT_MS);
    return 2;
}

// A whole decimal number from 1 to max.
BOOL ParseNumber(const char* text, unsigned long max, DWORD* number)
{
    char* end = NULL;
    unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *text == '-' || *end || value == 0 || value > max) return FALSE;
    *number = (DWORD)value;
    return TRUE;
}

// Asks every address of host; the number of servers that answered, or -1.
int AskServers(const char* host, WORD port, uint32_t packetType, BOOL allAddresses, DWORD timeoutMs)
{
    SOCKADDR_IN servers[QSCTL_MAX_ADDRESSES];
    int count = QsResolve(host, port, servers, allAddresses ? QSCTL_MAX_ADDRESSES : 1);
    if (count <= 0) {
        std::fprintf(stderr, "qsctl: cannot resolve %s\n", host);
        return -1;
    }
    SOCKET sock = QsOpenSocket(NULL);
    if (sock == INVALID_SOCKET) {
        std::fprintf(stderr, "qsctl: cannot open a UDP socket (error %d)\n", WSAGetLastError());
        return -1;
    }
    ULONGLONG sequence = ((ULONGLONG)std::time(NULL) << 16) ^ (ULONGLONG)GetTickCount();
    int answered = 0;
    for (int i = 0; i < count; ++i) {
        char where[32];
        QsFormatAddress(&servers[i], where, sizeof(where));
        QSS_SERVICE_REPLY reply;
        if (!QsQueryService(sock, &servers[i], packetType, sequence + (ULONGLONG)i, timeoutMs,
                            QSCTL_ATTEMPTS, &reply)) {
            std::printf("%sNo answer from %s\n", answered || i ? "\n" : "", where);
            continue;
        }
        char text[1024];
        QsFormatServerInfo(&reply.serverInfo, text, sizeof(text));
        std::printf("%sQuorum server at %s\n%s", answered || i ? "\n" : "", where, text);
        ++answered;
    }
    closesocket(sock);
    return answered;
}

// Sends request until an answer of its type and sequence comes, at most QSCTL_ATTEMPTS times.
BOOL Exchange(SOCKET sock, const SOCKADDR_IN* server, const void* request, int length, DWORD timeoutMs, BYTE* reply)
{
    const QSS_PACKET_HEADER* header = (const QSS_PACKET_HEADER*)request;
    for (int attempt = 0; attempt < QSCTL_ATTEMPTS; ++attempt) {
        if (!QsSend(sock, server, request, length)) return FALSE;
        DWORD start = GetTickCount();
        for (;;) {
            DWORD waited = GetTickCount() - start;
            if (waited >= timeoutMs) break;
            int received = QsReceive(sock, reply, QSS_MAX_PACKET_SIZE, timeoutMs - waited, NULL);
            if (received <= 0) break;
            if (QsCheckReply(reply, received, header->packetType, header->sequence) == QS_REPLY_OK) return TRUE;
        }
    }
    return FALSE;
}

// attach, detach, keepalive, query-instance, acquire and release; args are
// HOST PORT PVM-ID [AM [INSTANCE-TIMEOUT-MS | HEALTH WINDOW-MS]].
int RunInstanceCommand(const char* command, int count, char** args, DWORD timeoutMs)
{
    BOOL query = std::strcmp(command, "query-instance") == 0;
    BOOL attach = std::strcmp(command, "attach") == 0;
    BOOL acquire = std::strcmp(command, "acquire") == 0;
    uint32_t type = attach                                      ? ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE
                    : std::strcmp(command, "detach") == 0       ? ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE
                    : std::strcmp(command, "keepalive") == 0    ? ZEL_K_QS_PACKET_TYPE_KEEPALIVE
                    : query                                     ? ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE
                    : acquire                                   ? ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM
                    : std::strcmp(command, "release") == 0      ? ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM
                                                                : 0;
    if (type == 0 || count < (query ? 3 : acquire ? 6 : 4) || count > (attach ? 5 : query ? 3 : acquire ? 6 : 4))
        return Usage();
    DWORD port;
    BYTE pvmId[QSS_PVM_ID_SIZE];
    DWORD amNumber = 0;
    DWORD instanceTimeout = QSCTL_DEFAULT_INSTANCE_TIMEOUT_MS;
    if (!ParseNumber(args[1], 65535, &port)) {
        std::fprintf(stderr, "qsctl: invalid port %s\n", args[1]);
        return 2;
    }
    if (!QsParsePvmId(args[2], pvmId)) {
        std::fprintf(stderr, "qsctl: invalid PVM ID %s\n", args[2]);
        return 2;
    }
    if (!query && !ParseNumber(args[3], 2, &amNumber)) {
        std::fprintf(stderr, "qsctl: invalid AM number %s\n", args[3]);
        return 2;
    }
    if (attach && count == 5 && !ParseNumber(args[4], 0xFFFFFFFFul, &instanceTimeout)) {
        std::fprintf(stderr, "qsctl: invalid instance timeout %s\n", args[4]);
        return 2;
    }
    ULONGLONG health = 0;
    DWORD window = 0;
    if (acquire) {
        char* end = NULL;
        health = std::strtoull(args[4], &end, 0);
        if (!*args[4] || *args[4] == '-' || *end) {
            std::fprintf(stderr, "qsctl: invalid health %s\n", args[4]);
            return 2;
        }
        // A window of 0 is the server's own: it decides at once.
        if (std::strcmp(args[5], "0") != 0 && !ParseNumber(args[5], 0xFFFFFFFFul, &window)) {
            std::fprintf(stderr, "qsctl: invalid voting window %s\n", args[5]);
            return 2;
        }
    }
    SOCKADDR_IN server;
    if (QsResolve(args[0], (WORD)port, &server, 1) <= 0) {
        std::fprintf(stderr, "qsctl: cannot resolve %s\n", args[0]);
        return 1;
    }
    SOCKET sock = QsOpenSocket(NULL);
    if (sock == INVALID_SOCKET) {
        std::fprintf(stderr, "qsctl: cannot open a UDP socket (error %d)\n", WSAGetLastError());
        return 1;
    }
    ULONGLONG sequence = ((ULONGLONG)std::time(NULL) << 16) ^ (ULONGLONG)GetTickCount();
    char where[32];
    QsFormatAddress(&server, where, sizeof(where));
    QSS_SERVICE_REPLY service;
    if (!QsQueryService(sock, &server, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, sequence, timeoutMs, QSCTL_ATTEMPTS,
                        &service)) {
        std::printf("No answer from %s\n", where);
        closesocket(sock);
        return 1;
    }
    QS_TARGET target;
    std::memcpy(target.hostName, service.serverInfo.hostName, sizeof(target.hostName));
    std::memcpy(target.serverId, service.serverInfo.serverId, sizeof(target.serverId));
    char amId[64];
    std::snprintf(amId, sizeof(amId), "qsctl-am%u", (unsigned)amNumber);
    union {
        QSS_ATTACH_INSTANCE_REQUEST attach;
        QSS_AM_REQUEST am;
        QSS_QUERY_INSTANCE_REQUEST query;
        QSS_ACQUIRE_QUORUM_REQUEST acquire;
    } request;
    int length;
    if (attach) {
        QsBuildAttachInstance(&request.attach, sequence + 1, pvmId, amNumber, QSCTL_KEEPALIVE_INTERVAL_MS,
                              instanceTimeout, &target, amId);
        length = sizeof(request.attach);
    } else if (acquire) {
        QsBuildAcquireQuorum(&request.acquire, sequence + 1, pvmId, amNumber, window, health, &target, amId);
        length = sizeof(request.acquire);
    } else if (query) {
        QsBuildQueryInstance(&request.query, sequence + 1, pvmId, &target);
        length = sizeof(request.query);
    } else {
        QsBuildAmRequest(&request.am, type, sequence + 1, pvmId, amNumber, &target, amId);
        length = sizeof(request.am);
    }
    BYTE reply[QSS_MAX_PACKET_SIZE];
    // Repeating a pending ACQUIRE_QUORUM is harmless: the server answers it once decided.
    DWORD wait = acquire && window > 0xFFFFFFFFul - timeoutMs ? 0xFFFFFFFFul : timeoutMs + window;
    BOOL answered = Exchange(sock, &server, &request, length, wait, reply);
    closesocket(sock);
    if (!answered) {
        std::printf("No answer from %s\n", where);
        return 1;
    }
    char text[1024];
    QsFormatInstanceReply(reply, text, sizeof(text));
    std::printf("%s from %s\n%s", command, where, text);
    return ((const QSS_STATUS_REPLY*)reply)->status == ZEL_K_QS_STATUS_SUCCESS ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
    DWORD timeoutMs = QSCTL_DEFAULT_TIMEOUT_MS;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--timeout") == 0) {
        if (!ParseNumber(argv[2], 3600000, &timeoutMs)) {
            std::fprintf(stderr, "qsctl: invalid timeout %s\n", argv[2]);
            return 2;
        }
        first = 3;
    }
    int count = argc - first;
    if (count < 2) return Usage();
    if (std::strcmp(argv[first], "query-service") != 0 && std::strcmp(argv[first], "scan-service") != 0) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            std::fprintf(stderr, "qsctl: WSAStartup failed (error %d)\n", WSAGetLastError());
            return 1;
        }
        int result = RunInstanceCommand(argv[first], count - 1, argv + first + 1, timeoutMs);
        WSACleanup();
        return result;
    }
    if (count > 3) return Usage();
    BOOL scan;
    if (std::strcmp(argv[first], "query-service") == 0) {
        scan = FALSE;
    } else if (std::strcmp(argv[first], "scan-service") == 0) {
        scan = TRUE;
    } else {
        return Usage();
    }
    DWORD port = QSCTL_DEFAULT_PORT;
    if (count == 3 && !ParseNumber(argv[first + 2], 65535, &port)) {
        std::fprintf(stderr, "qsctl: invalid port %s\n", argv[first + 2]);
        return 2;
    }

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "qsctl: WSAStartup failed (error %d)\n", WSAGetLastError());
        return 1;
    }
    uint32_t type = scan ? ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE : ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE;
    int answered = AskServers(argv[first + 1], (WORD)port, type, scan, timeoutMs);
    WSACleanup();
    return answered > 0 ? 0 : 1;
}
