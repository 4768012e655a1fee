// qsctl: asks a quorum server questions from the command line, as an AM would.
//
//   qsctl query-service HOST [PORT]   the server's information (QUERY_SERVICE)
//   qsctl scan-service HOST [PORT]    the same from every address of HOST (SCAN_SERVICE)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "qsclient.h"

namespace {

constexpr WORD QSCTL_DEFAULT_PORT = 4557;
constexpr DWORD QSCTL_TIMEOUT_MS = 500;
constexpr int QSCTL_ATTEMPTS = 3;
constexpr int QSCTL_MAX_ADDRESSES = 16;

int Usage()
{
    std::fprintf(stderr,
                 "usage: qsctl query-service HOST [PORT]\n"
                 "       qsctl scan-service HOST [PORT]\n"
                 "PORT defaults to %u.\n",
                 (unsigned)QSCTL_DEFAULT_PORT);
    return 2;
}

BOOL ParsePort(const char* text, WORD* port)
{
    char* end = NULL;
    unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *end || value == 0 || value > 65535) return FALSE;
    *port = (WORD)value;
    return TRUE;
}

// Asks every address of host; the number of servers that answered, or -1.
int AskServers(const char* host, WORD port, uint32_t packetType, BOOL allAddresses)
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
        if (!QsQueryService(sock, &servers[i], packetType, sequence + (ULONGLONG)i, QSCTL_TIMEOUT_MS,
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
    if (argc < 3 || argc > 4) return Usage();
    BOOL scan;
    if (std::strcmp(argv[1], "query-service") == 0) {
        scan = FALSE;
    } else if (std::strcmp(argv[1], "scan-service") == 0) {
        scan = TRUE;
    } else {
        return Usage();
    }
    WORD port = QSCTL_DEFAULT_PORT;
    if (argc == 4 && !ParsePort(argv[3], &port)) {
        std::fprintf(stderr, "qsctl: invalid port %s\n", argv[3]);
        return 2;
    }

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "qsctl: WSAStartup failed (error %d)\n", WSAGetLastError());
        return 1;
    }
    uint32_t type = scan ? ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE : ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE;
    int answered = AskServers(argv[2], port, type, scan);
    WSACleanup();
    return answered > 0 ? 0 : 1;
}
