// The receive socket set: address scans, the two-phase changes, the rescan request.
#include "Qss/net/socket_set.h"

#include <cstring>

#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/reply.h"

QSS_SOCKET_ENTRY qssSocketTable[QSS_MAX_SOCKETS];
DWORD qssSocketCount;
BOOL qssSocketSetChanged;
std::atomic<BOOL> qssRescanRequested;
char qssPortString[8];

namespace {

void qssFormatAddress(char* text, size_t size, const SOCKADDR_IN* addr)
{
    const BYTE* b = (const BYTE*)&addr->sin_addr.s_addr;
    StringCbPrintfA(text, size, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], (unsigned)ntohs(addr->sin_port));
}

QSS_SOCKET_ENTRY* qssFindEntryByAddress(DWORD ipAddress)
{
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        if (qssSocketTable[i].addr.sin_addr.s_addr == ipAddress) return &qssSocketTable[i];
    }
    return NULL;
}

// One address of a scan: keeps its entry, or creates one; binds what needs binding.
void qssScanAddress(const SOCKADDR_IN* found)
{
    QSS_SOCKET_ENTRY* entry = qssFindEntryByAddress(found->sin_addr.s_addr);
    if (entry) {
        if (entry->state != QSS_SOCKET_BIND_FAILED) entry->state = QSS_SOCKET_ACTIVE;
    } else {
        SOCKADDR_IN addr;
        std::memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr = found->sin_addr;
        addr.sin_port = htons(qssServerInfo.port);
        const BYTE* b = (const BYTE*)&addr.sin_addr.s_addr;
        Qss_TracePrintf(QSS_TRACE_INFO, "Creating and binding socket to address(%u.%u.%u.%u:%u)", b[0], b[1], b[2], b[3],
                        (unsigned)qssServerInfo.port);
        SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (sock == INVALID_SOCKET) {
            int error = WSAGetLastError();
            Qss_IncrementStat(&qssStats.socketErrors);
            Qss_LogError("qssRescanIPaddress", 2805, "socket", error, NULL);
            return;
        }
        int bufferSize = QSS_RECEIVE_BUFFER_SIZE;
        // The system's default buffer still works, only overflows sooner in bursts.
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, (const char*)&bufferSize, (int)sizeof(bufferSize)) != 0)
            Qss_TracePrintf(QSS_TRACE_WARNINGS, "Receive buffer of %d bytes refused (error %d)", bufferSize,
                            WSAGetLastError());
        entry = &qssSocketTable[qssSocketCount++];
        entry->state = QSS_SOCKET_NEW;
        entry->sock = sock;
        entry->addr = addr;
    }
    if (entry->state != QSS_SOCKET_NEW && entry->state != QSS_SOCKET_BIND_FAILED) return;
    if (bind(entry->sock, (const SOCKADDR*)&entry->addr, sizeof(entry->addr)) == 0) {
        entry->state = QSS_SOCKET_NEW;
        return;
    }
    int error = WSAGetLastError();
    // A bind failure is reported once and retried quietly at every later scan.
    if (entry->state != QSS_SOCKET_BIND_FAILED) {
        char where[32];
        qssFormatAddress(where, sizeof(where), &entry->addr);
        Qss_IncrementStat(&qssStats.socketErrors);
        Qss_LogError("qssRescanIPaddress", 2851, "bind", error, where);
    }
    entry->state = QSS_SOCKET_BIND_FAILED;
}

}  // namespace

void qssClearSocketTable(void)
{
    std::memset(qssSocketTable, 0, sizeof(qssSocketTable));
    qssSocketCount = 0;
    qssSocketSetChanged = FALSE;
    qssRescanRequested = FALSE;
}

BOOL qssGetMyAddr(void)
{
    DWORD port = 0;
    if (!Qss_RegGetDWORD("QSServerPortForReceive", FALSE, &port)) port = QSS_DEFAULT_RECEIVE_PORT;
    qssServerInfo.port = (WORD)port;
    Qss_TracePrintf(QSS_TRACE_INFO, "QS server port for receive: %d", (int)qssServerInfo.port);
    std::memset(qssPortString, 0, sizeof(qssPortString));
    HRESULT hr = StringCbPrintfA(qssPortString, sizeof(qssPortString), "%u", (unsigned)qssServerInfo.port);
    if (FAILED(hr)) {
        Qss_LogError("qssGetMyAddr", 2184, "StringCbPrintfA", (int)hr, NULL);
        return FALSE;
    }
    qssSocketSetChanged = FALSE;
    qssRescanRequested = FALSE;
    qssSocketCount = 0;
    return qssRescanIPaddress() == -1 ? FALSE : TRUE;
}

int qssRescanIPaddress(void)
{
    size_t nameLength = 0;
    if (FAILED(StringCbLengthA(qssServerInfo.hostName, sizeof(qssServerInfo.hostName), &nameLength)) ||
        nameLength == 0) {
        Qss_TracePrintf(QSS_TRACE_ERRORS, "qssRescanIPaddress (%u): Host name is NULL", 2651u);
        Qss_LogInternalError("qssRescanIPaddress", 2658);
        return -1;
    }

    ADDRINFOA hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    ADDRINFOA* found = NULL;
    int status = getaddrinfo(qssServerInfo.hostName, qssPortString, &hints, &found);
    if (status != 0) {
        Qss_IncrementStat(&qssStats.socketErrors);
        Qss_LogError("qssRescanIPaddress", 2694, "getaddrinfo", status, NULL);
        return -1;
    }

    for (DWORD i = 0; i < qssSocketCount; ++i) {
        if (qssSocketTable[i].state != QSS_SOCKET_BIND_FAILED) qssSocketTable[i].state = QSS_SOCKET_CLOSE_PENDING;
    }

    DWORD walked = 0;
    for (const ADDRINFOA* ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr || ai->ai_addrlen < sizeof(SOCKADDR_IN)) continue;
        if (qssSocketCount >= QSS_MAX_SOCKETS) {
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Internal error: receive sockets (%d) exceed FD_SETSIZE (%d)",
                            (int)qssSocketCount, (int)QSS_MAX_SOCKETS);
            Qss_LogInternalError("qssRescanIPaddress", 2728);
            break;
        }
        if (walked >= QSS_MAX_IP_ADDRESSES) {
            Qss_TracePrintf(QSS_TRACE_ERRORS, "Internal error: IP addresses (%u) exceeds QSS Maximum (%u)", walked,
                            QSS_MAX_IP_ADDRESSES);
            Qss_LogInternalError("qssRescanIPaddress", 2756);
            break;
        }
        ++walked;
        qssScanAddress((const SOCKADDR_IN*)ai->ai_addr);
    }
    freeaddrinfo(found);

    for (DWORD i = 0; i < qssSocketCount; ++i) {
        DWORD state = qssSocketTable[i].state;
        if (state == QSS_SOCKET_NEW || state == QSS_SOCKET_CLOSE_PENDING) {
            qssSocketSetChanged = TRUE;
            return 1;
        }
    }
    qssSocketSetChanged = FALSE;
    return 0;
}

BOOL qssCheckSocketSetChange(void)
{
    if (!qssSocketSetChanged) return FALSE;
    DWORD kept = 0;
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        QSS_SOCKET_ENTRY entry = qssSocketTable[i];
        if (entry.state == QSS_SOCKET_CLOSE_PENDING) {
            if (entry.sock != INVALID_SOCKET && closesocket(entry.sock) != 0) {
                int error = WSAGetLastError();
                Qss_IncrementStat(&qssStats.socketErrors);
                Qss_LogError("qssCheckSocketSetChange", 2988, "closesocket", error, NULL);
            }
            continue;
        }
        if (entry.state == QSS_SOCKET_NEW) entry.state = QSS_SOCKET_ACTIVE;
        qssSocketTable[kept++] = entry;
    }
    qssSocketCount = kept;
    qssSocketSetChanged = FALSE;
    return TRUE;
}

void qssRequestRescan(void) { qssRescanRequested = TRUE; }

BOOL qssCheckRescanRequest(void)
{
    if (!qssRescanRequested) return FALSE;
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        if (qssSocketTable[i].state == QSS_SOCKET_ACTIVE) qssSocketTable[i].state = QSS_SOCKET_CLOSE_PENDING;
    }
    qssSocketSetChanged = TRUE;
    qssRescanRequested = FALSE;
    return TRUE;
}

DWORD qssAddActiveSockets(fd_set* readSet)
{
    DWORD active = 0;
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        if (qssSocketTable[i].state != QSS_SOCKET_ACTIVE) continue;
        ++active;
        DvSelectSetAdd(readSet, qssSocketTable[i].sock);
    }
    return active;
}

const QSS_SOCKET_ENTRY* qssFindReadySocket(const fd_set* readySet)
{
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        const QSS_SOCKET_ENTRY* entry = &qssSocketTable[i];
        if (entry->state == QSS_SOCKET_ACTIVE && DvSelectSetHas(readySet, entry->sock)) return entry;
    }
    return NULL;
}

void qssCloseAllSockets(const char* function, DWORD line)
{
    // Every open socket, whatever its state: an entry created or marked by the
    // last scan and not yet applied still holds its port.
    for (DWORD i = 0; i < qssSocketCount; ++i) {
        QSS_SOCKET_ENTRY* entry = &qssSocketTable[i];
        if (entry->sock == INVALID_SOCKET) continue;
        if (closesocket(entry->sock) != 0) {
            int error = WSAGetLastError();
            Qss_IncrementStat(&qssStats.socketErrors);
            Qss_LogError(function, line, "closesocket", error, NULL);
        }
        entry->sock = INVALID_SOCKET;
    }
    qssSocketCount = 0;
}
