// The reply path and the service queries.
#include "Qss/net/reply.h"

#include <cstring>

#include "Qss/diag/diag.h"
#include "Qss/net/packet_dump.h"
#include "Qss/quorum/instance_lock.h"

QSS_SERVER_INFO qssServerInfo;

void qssSendToAm(QSS_PACKET_HEADER* reply, const SOCKADDR_IN* destination, SOCKET sock, BOOL verbose)
{
    reply->srcComponentId = QSS_COMPONENT_ID_QS;
    reply->dstComponentId = QSS_COMPONENT_ID_AM;
    reply->checksum = 0;
    reply->checksum = qssChecksum(reply, reply->length);

    DWORD level = verbose ? QSS_TRACE_VERBOSE : QSS_TRACE_INFO;
    DWORD dumpLevel = verbose ? QSS_TRACE_VERBOSE : QSS_TRACE_LOUD;
    // Formatted only when its level is on: every reply passes here.
    if (qssTraceFlags & level) {
        const BYTE* b = (const BYTE*)&destination->sin_addr.s_addr;
        char text[QSS_MAX_MESSAGE];
        StringCbPrintfA(text, sizeof(text), "Reply to AM (%u.%u.%u.%u:%u)", b[0], b[1], b[2], b[3],
                        (unsigned)ntohs(destination->sin_port));
        Qss_TraceLog(text, 0, NULL);
    }
    if ((qssTraceFlags & dumpLevel) && (qssTraceFlags & QSS_TRACE_PACKET_DUMP)) qssDumpPacket(reply, destination);

    int sent = sendto(sock, (const char*)reply, (int)reply->length, 0, (const SOCKADDR*)destination,
                      sizeof(SOCKADDR_IN));
    if (sent == SOCKET_ERROR) {
        int error = WSAGetLastError();
        Qss_IncrementStat(&qssStats.sendErrors);
        // The AM's port or network went away: its retransmission or the next request will tell.
        if (error == WSAENETRESET || error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAESHUTDOWN)
            return;
        Qss_LogError("qssSendToAm", 5841, "sendto", error, NULL);
        return;
    }
    if ((DWORD)sent < reply->length) {
        char text[QSS_MAX_MESSAGE];
        StringCbPrintfA(text, sizeof(text), "buf len (%d) != bytes sent (%d)", (int)reply->length, sent);
        Qss_IncrementStat(&qssStats.shortSends);
        Qss_LogError("qssSendToAm", 5859, "sendto", 0, text);
    }
}

void qssProcessQueryService(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, SOCKET sock)
{
    EnterCriticalSection(&qssInstanceLock);

    if (qssTraceFlags) {
        BOOL scan = request->packetType == ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE;
        if (scan && (qssTraceFlags & QSS_TRACE_VERBOSE)) Qss_TraceLog("Received SCAN_SERVICE packet", 0, NULL);
        if (!scan && (qssTraceFlags & QSS_TRACE_INFO)) Qss_TraceLog("Received QUERY_SERVICE packet", 0, NULL);
        if ((qssTraceFlags & QSS_TRACE_VERBOSE) && (qssTraceFlags & QSS_TRACE_PACKET_DUMP))
            qssDumpPacket(request, source);
    }

    QSS_SERVICE_REPLY reply;
    std::memset(&reply, 0, sizeof(reply));
    reply.header.protocolRevision = QSS_PROTOCOL_REVISION;
    reply.header.length = sizeof(reply);
    reply.header.signature = QSS_PACKET_SIGNATURE;
    reply.header.packetType = request->packetType + 1;
    reply.header.sequence = request->sequence;
    reply.serverInfo = qssServerInfo;

    SOCKADDR_IN local;
    std::memset(&local, 0, sizeof(local));
    int localSize = sizeof(local);
    if (getsockname(sock, (SOCKADDR*)&local, &localSize) != 0) {
        int error = WSAGetLastError();
        Qss_IncrementStat(&qssStats.socketErrors);
        Qss_LogError("qssProcessQueryService", 3130, "getsockname", error, NULL);
    } else {
        reply.serverInfo.ipAddress = local.sin_addr.s_addr;
        reply.serverInfo.port = ntohs(local.sin_port);
        qssSendToAm(&reply.header, source, sock, TRUE);
    }

    LeaveCriticalSection(&qssInstanceLock);
}
