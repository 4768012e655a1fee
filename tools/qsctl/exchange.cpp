#include "exchange.h"

#include <cstdio>
#include <cstring>

namespace {

// The size of the reply to a request of requestType.
int ReplySize(uint32_t requestType)
{
    switch (requestType) {
    case ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE:
    case ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE: return (int)sizeof(QSS_SERVICE_REPLY);
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE: return (int)sizeof(QSS_KEEPALIVE_REPLY);
    case ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE: return (int)sizeof(QSS_QUERY_INSTANCE_REPLY);
    }
    return (int)sizeof(QSS_STATUS_REPLY);
}

}  // namespace

BOOL QsctlStartWinsock()
{
    WSADATA data;
    int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        std::fprintf(stderr, "qsctl: WSAStartup failed (error %d)\n", error);
        return FALSE;
    }
    return TRUE;
}

BOOL QsctlOpenSession(const SOCKADDR_IN* server, const QSCTL_OPTIONS* options, QSCTL_SESSION* session)
{
    std::memset(session, 0, sizeof(*session));
    session->server = *server;
    session->timeoutMs = options->timeoutMs;
    session->retries = options->retries;
    QsFormatAddress(server, session->where, sizeof(session->where));
    UUID random;
    UuidCreate(&random);
    std::memcpy(&session->nextSequence, &random, sizeof(session->nextSequence));
    // Within 2^52, so that scripts reading --json numbers as doubles see them exactly.
    session->nextSequence &= (1ull << 52) - 1;
    session->sock = QsOpenSocket(NULL);
    if (session->sock == INVALID_SOCKET) {
        std::fprintf(stderr, "qsctl: cannot open a UDP socket (error %d)\n", WSAGetLastError());
        return FALSE;
    }
    return TRUE;
}

void QsctlCloseSession(QSCTL_SESSION* session)
{
    if (session->sock != INVALID_SOCKET) closesocket(session->sock);
    session->sock = INVALID_SOCKET;
}

ULONGLONG QsctlNewSequence(QSCTL_SESSION* session)
{
    return session->nextSequence++;
}

BOOL QsctlExchange(QSCTL_SESSION* session, const void* request, int length, DWORD extraFirstWaitMs,
                   QSCTL_REPLY* reply)
{
    QSS_PACKET_HEADER header;
    std::memcpy(&header, request, sizeof(header));
    reply->size = 0;
    reply->attempts = 0;
    for (DWORD attempt = 0; attempt <= session->retries; ++attempt) {
        if (!QsSend(session->sock, &session->server, request, length)) return FALSE;
        reply->attempts++;
        DWORD wait = session->timeoutMs;
        if (attempt == 0) wait = extraFirstWaitMs > 0xFFFFFFFFul - wait ? 0xFFFFFFFFul : wait + extraFirstWaitMs;
        DWORD start = GetTickCount();
        for (;;) {
            DWORD waited = GetTickCount() - start;
            if (waited >= wait) break;
            SOCKADDR_IN from;
            int received = QsReceive(session->sock, reply->bytes, sizeof(reply->bytes), wait - waited, &from);
            if (received <= 0) break;
            // Only the server's answer to this very request counts; strays and late answers are skipped.
            if (from.sin_addr.s_addr != session->server.sin_addr.s_addr || from.sin_port != session->server.sin_port)
                continue;
            if (received != ReplySize(header.packetType) ||
                QsCheckReply(reply->bytes, received, header.packetType, header.sequence) != QS_REPLY_OK)
                continue;
            reply->size = received;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL QsctlQueryService(QSCTL_SESSION* session, uint32_t packetType)
{
    QSS_PACKET_HEADER request;
    QsBuildServiceQuery(&request, packetType, QsctlNewSequence(session));
    QSCTL_REPLY reply;
    if (!QsctlExchange(session, &request, sizeof(request), 0, &reply)) return FALSE;
    std::memcpy(&session->service, reply.bytes, sizeof(session->service));
    std::memcpy(session->target.hostName, session->service.serverInfo.hostName, sizeof(session->target.hostName));
    std::memcpy(session->target.serverId, session->service.serverInfo.serverId, sizeof(session->target.serverId));
    return TRUE;
}

int QsctlConnect(const char* host, const QSCTL_OPTIONS* options, QSCTL_SESSION* session)
{
    SOCKADDR_IN server;
    if (QsResolve(host, options->port, &server, 1) <= 0) {
        std::fprintf(stderr, "qsctl: cannot resolve %s\n", host);
        return QSCTL_EXIT_LOCAL_FAILURE;
    }
    return QsctlOpenSession(&server, options, session) ? QSCTL_EXIT_SUCCESS : QSCTL_EXIT_LOCAL_FAILURE;
}
