// qsctl: asks a quorum server questions from the command line, as an AM would.
//
//   qsctl [--timeout MS] query-service HOST [PORT]   the server's information (QUERY_SERVICE)
//   qsctl [--timeout MS] scan-service HOST [PORT]    the same from every address of HOST (SCAN_SERVICE)
//
// Each request is sent up to three times, waiting MS milliseconds (500) for each answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "qsclient.h"

namespace {

constexpr WORD QSCTL_DEFAULT_PORT = 4557;
constexpr DWORD QSCTL_DEFAULT_TIMEOUT_MS = 500;
constexpr int QSCTL_ATTEMPTS = 3;
constexpr int QSCTL_MAX_ADDRESSES = 16;

int Usage()
{
    std::fprintf(stderr,
                 "usage: qsctl [--timeout MS] query-service HOST [PORT]\n"
                 "       qsctl [--timeout MS] scan-service HOST [PORT]\n"
                 "PORT defaults to %u; MS, the wait for each answer, to %u.\n",
                 (unsigned)QSCTL_DEFAULT_PORT, (unsigned)QSCTL_DEFAULT_TIMEOUT_MS);
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
    if (count < 2 || count > 3) return Usage();
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
