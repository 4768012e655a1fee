// The server thread's receive loop, header validation and dispatch.
#include "Qss/net/server_thread.h"

#include <cstring>

#include "Qss/config/parameters.h"
#include "Qss/diag/diag.h"
#include "Qss/net/peer_admission.h"
#include "Qss/net/reply.h"
#include "Qss/net/socket_set.h"
#include "Qss/quorum/grant_commit.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/handlers.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/service/lifecycle.h"

HANDLE qssHTimerQueue;

namespace {

HANDLE qssServerThread;
// Raised to stop the server thread; its select and its sleep end at once.
DV_WAKEUP* qssServerWakeup;
thread_local BOOL qssOnServerThread;

struct QSS_DISPATCH_ENTRY {
    DWORD packetType;
    QSS_REQUEST_HANDLER* handler;
};

// The request types the server answers. Every other type is unrecognized.
const QSS_DISPATCH_ENTRY qssDispatchTable[] = {
    {ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, qssProcessQueryService},
    {ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE, qssProcessQueryService},
    {ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, qssProcessAttachInstance},
    {ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE, qssProcessDetachInstance},
    {ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE, qssProcessQueryInstance},
    {ZEL_K_QS_PACKET_TYPE_KEEPALIVE, qssProcessKeepalive},
    {ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM, qssProcessAcquireQuorum},
    {ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, qssProcessReleaseQuorum},
};

QSS_REQUEST_HANDLER* qssFindHandler(DWORD packetType)
{
    for (const QSS_DISPATCH_ENTRY& entry : qssDispatchTable) {
        if (entry.packetType == packetType) return entry.handler;
    }
    return NULL;
}

void qssTraceAt(DWORD level, const char* text)
{
    if (qssTraceFlags & level) Qss_TraceLog(text, 0, NULL);
}

// The header checks in their order; FALSE (counted and traced) drops the datagram.
BOOL qssValidateHeader(const QSS_PACKET_HEADER* header, int received)
{
    if (received < 8 || (DWORD)received != header->length) {
        Qss_IncrementStat(&qssStats.invalidPackets);
        qssTraceAt(QSS_TRACE_WARNINGS, "Received invalid packet length");
        return FALSE;
    }
    if (header->signature != QSS_PACKET_SIGNATURE) {
        Qss_IncrementStat(&qssStats.invalidPackets);
        qssTraceAt(QSS_TRACE_ERRORS, "Received invalid packet signature");
        return FALSE;
    }
    if (qssChecksum(header, (size_t)received) != 0) {
        Qss_IncrementStat(&qssStats.checksumErrors);
        qssTraceAt(QSS_TRACE_ERRORS, "Packet checksum error");
        return FALSE;
    }
    if ((header->protocolRevision >> 16) != QSS_PROTOCOL_MAJOR) {
        Qss_IncrementStat(&qssStats.versionErrors);
        qssTraceAt(QSS_TRACE_ERRORS, "Unsupported Didi QS protocol version");
        return FALSE;
    }
    if (header->srcComponentId != QSS_COMPONENT_ID_AM || header->dstComponentId != QSS_COMPONENT_ID_QS) {
        Qss_IncrementStat(&qssStats.componentIdErrors);
        qssTraceAt(QSS_TRACE_ERRORS, "Incorrect component ID");
        return FALSE;
    }
    return TRUE;
}

// Receives one datagram from the ready socket and hands it to its handler.
void qssReceiveOne(const QSS_SOCKET_ENTRY* entry, BYTE* buffer, SOCKADDR_IN* source)
{
    // A request shorter than its layout reads zeros beyond its end, never the previous datagram.
    std::memset(buffer, 0, QSS_MAX_PACKET_SIZE);
    std::memset(source, 0, sizeof(*source));
    int sourceSize = sizeof(*source);
    SOCKET sock = entry->sock;
    int received = recvfrom(sock, (char*)buffer, (int)QSS_MAX_PACKET_SIZE, 0, (SOCKADDR*)source, &sourceSize);
    if (received == SOCKET_ERROR) {
        int error = WSAGetLastError();
        Qss_IncrementStat(&qssStats.recvErrors);
        if (error == WSAEMSGSIZE || error == WSAENETRESET || error == WSAECONNABORTED || error == WSAECONNRESET ||
            error == WSAESHUTDOWN)
            return;
        Qss_LogError("qssServiceThread", 796, "recvfrom", error, NULL);
        return;
    }
    qssProcessDatagram(buffer, received, source, sock);
}

}  // namespace

void qssProcessDatagram(const BYTE* datagram, int received, const SOCKADDR_IN* source, SOCKET sock)
{
    // A stranger's datagram is not even looked at.
    if (!qssAdmitSource(source)) return;
    const QSS_PACKET_HEADER* header = (const QSS_PACKET_HEADER*)datagram;
    if (!qssValidateHeader(header, received)) return;
    QSS_REQUEST_HANDLER* handler = qssFindHandler(header->packetType);
    if (!handler) {
        Qss_IncrementStat(&qssStats.unrecognizedTypeErrors);
        Qss_TracePrintf(QSS_TRACE_ERRORS, "Unrecognized ZEL_K_QS_PACKET_TYPE_XXX %u (0x%x)\n",
                        (DWORD)header->packetType, (DWORD)header->packetType);
        return;
    }
    handler(header, source, sock);
}

BOOL Qss_Initialize(void)
{
    WSADATA data;
    int status = WSAStartup(MAKEWORD(2, 2), &data);
    if (status != 0) {
        Qss_LogError("Qss_Initialize", 963, "WSAStartup", status, NULL);
        return FALSE;
    }
    std::memset(&qssServerInfo, 0, sizeof(qssServerInfo));
    qssClearSocketTable();
    qssServerInfo.activeInstanceCount = 0;
    InitializeCriticalSection(&qssInstanceLock);
    qssHTimerQueue = CreateTimerQueue();
    if (!qssHTimerQueue) {
        Qss_LogWin32Error("Qss_Initialize", 991, "CreateTimerQueue", (int)GetLastError(), 0);
        if (WSACleanup() != 0) Qss_LogError("Qss_Initialize", 996, "WSACleanup", WSAGetLastError(), NULL);
        return FALSE;
    }
    return TRUE;
}

BOOL Qss_StartServerThread(void)
{
    // Grants are decided only once requests come in: the commit thread is there first.
    if (!qssStartGrantCommit()) return FALSE;
    qssServerWakeup = DvWakeupCreate();
    if (!qssServerWakeup) {
        Qss_LogError("Qss_StartServerThread", 2426, "DvWakeupCreate", WSAGetLastError(), NULL);
        return FALSE;
    }
    qssServerThread = CreateThread(NULL, 0, qssServiceThread, NULL, 0, NULL);
    if (!qssServerThread) {
        Qss_LogWin32Error("Qss_StartServerThread", 2426, "CreateThread", (int)GetLastError(), 0);
        DvWakeupClose(qssServerWakeup);
        qssServerWakeup = NULL;
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI qssServiceThread(LPVOID)
{
    qssOnServerThread = TRUE;
    // Fixed for the thread's life.
    const DWORD interval = qssRescanInterval;
    DWORD lastRescan = GetTickCount();
    // Reused for every datagram: the receive path allocates nothing.
    BYTE buffer[QSS_MAX_PACKET_SIZE];
    SOCKADDR_IN source;

    while (!DvWakeupIsRaised(qssServerWakeup)) {
        qssUnusedInstanceCollection();
        qssReportRefusedPeers(FALSE);
        if (qssCheckSocketSetChange()) Qss_TracePrintf(QSS_TRACE_INFO, "There are %u IP addresses.", qssSocketCount);

        fd_set readSet;
        FD_ZERO(&readSet);
        int ready = 0;
        if (qssAddActiveSockets(&readSet) == 0) {
            DvWakeupSleep(qssServerWakeup, interval);
            if (DvWakeupIsRaised(qssServerWakeup)) break;
        } else {
            DvWakeupAddToSet(qssServerWakeup, &readSet);
            struct timeval timeout;
            timeout.tv_sec = (long)(interval / 1000);
            timeout.tv_usec = (long)((interval % 1000) * 1000);
            ready = select(0, &readSet, NULL, NULL, &timeout);
            if (DvWakeupIsRaised(qssServerWakeup)) break;
            if (ready == SOCKET_ERROR) {
                int error = WSAGetLastError();
                Qss_IncrementStat(&qssStats.socketErrors);
                Qss_LogError("qssServiceThread", 699, "select", error, NULL);
                qssTraceAt(QSS_TRACE_ERRORS, "QSS main thread abnormally terminated. Stop Dorvane service forcibly.");
                Qss_ServiceStop(0);
                return 0;
            }
        }

        // Rescan when the wait timed out, and, however busy the sockets, once per interval.
        if (ready == 0 || GetTickCount() - lastRescan > interval) {
            lastRescan = GetTickCount();
            if (qssCheckRescanRequest()) continue;
            if (qssRescanIPaddress() == 1) continue;
            if (ready == 0) continue;
        }

        const QSS_SOCKET_ENTRY* entry = qssFindReadySocket(&readSet);
        if (entry) qssReceiveOne(entry, buffer, &source);
    }
    return 0;
}

void Qss_StopServerThread(DWORD bTerminateThread)
{
    // Grants still waiting for the disk stay in the registry, unanswered.
    qssRequestGrantCommitStop();
    if (qssServerThread) {
        if (qssServerWakeup) DvWakeupRaise(qssServerWakeup);
        // The server thread stops at its next safe point: never inside a
        // handler, so it never leaves the instance lock held.
        if (bTerminateThread && !qssOnServerThread &&
            WaitForSingleObject(qssServerThread, INFINITE) == WAIT_FAILED)
            Qss_LogWin32Error("Qss_StopServerThread", 2465, "WaitForSingleObject", (int)GetLastError(), 0);
        CloseHandle(qssServerThread);
        qssServerThread = NULL;
    }
    if (qssHTimerQueue) {
        if (!DeleteTimerQueueEx(qssHTimerQueue, INVALID_HANDLE_VALUE))
            Qss_LogWin32Error("Qss_StopServerThread", 2484, "DeleteTimerQueueEx", (int)GetLastError(), 0);
        qssHTimerQueue = NULL;
    }
    // No decision runs any more.
    qssStopGrantCommit();
    qssCloseAllSockets("Qss_StopServerThread", 2501);
    if (WSACleanup() != 0) {
        int error = WSAGetLastError();
        Qss_IncrementStat(&qssStats.socketErrors);
        Qss_LogError("Qss_StopServerThread", 2515, "WSACleanup", error, NULL);
    }
    qssDeleteAllInstances();
    // The server thread has ended: what it refused since its last report is reported now.
    qssReportRefusedPeers(TRUE);
    QSS_PEER_FILTER everyone = {NULL, 0, 0};
    qssSetAllowedPeers(&everyone);
    DeleteCriticalSection(&qssInstanceLock);
    // The wake-up goes last: a server thread calling this itself is still inside its loop.
    DvWakeupClose(qssServerWakeup);
    qssServerWakeup = NULL;
}
