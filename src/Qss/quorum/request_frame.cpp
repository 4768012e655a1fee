#include "Qss/quorum/request_frame.h"

#include <cstdint>
#include <cstring>

#include "Qss/config/pvm_id.h"
#include "Qss/diag/diag.h"
#include "Qss/net/packet_dump.h"
#include "Qss/net/reply.h"
#include "Qss/quorum/instance_table.h"

// ASCII case folding, inline: every request compares two identity fields.
static inline int qssFoldCase(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

static inline BOOL qssWordHoldsNul(uint64_t word)
{
    return ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull) != 0;
}

static BOOL qssFieldEqualsIgnoringCase(const char* a, const char* b, size_t size)
{
    size_t i = 0;
    // Eight bytes at a time while they are identical, the usual case of an AM
    // repeating the server's own spelling; a NUL among them ends both texts.
    for (; i + sizeof(uint64_t) <= size; i += sizeof(uint64_t)) {
        uint64_t wordA;
        uint64_t wordB;
        memcpy(&wordA, a + i, sizeof(wordA));
        memcpy(&wordB, b + i, sizeof(wordB));
        if (wordA != wordB) {
            break;
        }
        if (qssWordHoldsNul(wordA)) {
            return TRUE;
        }
    }
    for (; i < size; i++) {
        int ca = qssFoldCase((unsigned char)a[i]);
        if (ca != qssFoldCase((unsigned char)b[i])) {
            return FALSE;
        }
        if (ca == 0) {
            return TRUE;
        }
    }
    return TRUE;
}

static DWORD qssValidate(const QSS_PACKET_HEADER* request, BOOL checkAmNumber, DWORD amNumber)
{
    if (HIWORD(request->protocolRevision) != QSS_PROTOCOL_MAJOR ||
        LOWORD(request->protocolRevision) > QSS_PROTOCOL_MINOR) {
        Qss_IncrementStat(&qssStats.versionErrors);
        return QSS_REQUEST_BAD_VERSION;
    }
    if (checkAmNumber && amNumber != 1 && amNumber != 2) {
        Qss_IncrementStat(&qssStats.invalidPackets);
        return QSS_REQUEST_BAD_AM_NUMBER;
    }
    const QSS_TARGET_SERVER* target = qssGetServerIdentity(request);
    if (target == NULL) {
        Qss_IncrementStat(&qssStats.invalidPackets);
        return QSS_REQUEST_WRONG_SERVER;
    }
    if (!qssFieldEqualsIgnoringCase(target->hostName, qssServerInfo.hostName, sizeof(target->hostName)) ||
        !qssFieldEqualsIgnoringCase(target->serverId, qssServerInfo.serverId, sizeof(target->serverId))) {
        Qss_IncrementStat(&qssStats.wrongServerErrors);
        return QSS_REQUEST_WRONG_SERVER;
    }
    return QSS_REQUEST_OK;
}

DWORD qssValidateRequest(const QSS_PACKET_HEADER* request, DWORD amNumber)
{
    return qssValidate(request, TRUE, amNumber);
}

DWORD qssValidateQueryRequest(const QSS_PACKET_HEADER* request)
{
    return qssValidate(request, FALSE, 0);
}

DWORD qssRejectionStatus(DWORD validation)
{
    return validation == QSS_REQUEST_BAD_AM_NUMBER ? ZEL_K_QS_STATUS_INVALID_AM_NUMBER : ZEL_K_QS_STATUS_WRONG_SERVER;
}

void qssTraceRequest(const QSS_PACKET_HEADER* request, const SOCKADDR_IN* source, DWORD level, const char* text,
                     DWORD dumpLevel)
{
    if (qssTraceFlags & level) {
        Qss_TraceLog(text, 0, NULL);
    }
    if ((qssTraceFlags & QSS_TRACE_PACKET_DUMP) && (qssTraceFlags & dumpLevel)) {
        qssDumpPacket(request, source);
    }
}

void qssCopyAmId(char* to, const char* field)
{
    size_t length = strnlen(field, QSS_AM_ID_SIZE - 1);
    memcpy(to, field, length);
    memset(to + length, 0, QSS_AM_ID_SIZE - length);
}

void qssRefreshAmAddress(QSS_AM_INFO* slot, const SOCKADDR_IN* source, SOCKET sock, const char* amIdField)
{
    slot->amAddr = *source;
    QSS_AM_ADDRESS address = qssSaveAmAddress(source);
    slot->ipAddress = address.ipAddress;
    slot->port = address.port;
    slot->sock = sock;
    qssCopyAmId(slot->amId, amIdField);
}

QSS_PACKET_HEADER* qssBuildReply(BYTE* reply, const QSS_PACKET_HEADER* request, DWORD protocolRevision,
                                 DWORD length, DWORD status)
{
    QSS_STATUS_REPLY* statusReply = reinterpret_cast<QSS_STATUS_REPLY*>(reply);
    statusReply->header.protocolRevision = protocolRevision;
    statusReply->header.length = length;
    statusReply->header.signature = QSS_PACKET_SIGNATURE;
    statusReply->header.packetType = qssReplyType(request->packetType);
    statusReply->header.sequence = request->sequence;
    statusReply->status = status;
    return &statusReply->header;
}

void qssSaveAndSendReply(QSS_AM_INFO* slot, BYTE* reply, const SOCKADDR_IN* source, SOCKET sock, BOOL verbose)
{
    if (slot != NULL) {
        memcpy(slot->lastReply, reply, QSS_MAX_PACKET_SIZE);
    }
    qssSendToAm(reinterpret_cast<QSS_PACKET_HEADER*>(reply), source, sock, verbose);
}

void qssResendReply(const QSS_AM_INFO* slot, const SOCKADDR_IN* source, SOCKET sock, BOOL verbose)
{
    BYTE reply[QSS_MAX_PACKET_SIZE];
    memcpy(reply, slot->lastReply, sizeof(reply));
    qssSendToAm(reinterpret_cast<QSS_PACKET_HEADER*>(reply), source, sock, verbose);
}

void qssLogAmEvent(DWORD eventId, const QSS_AM_INFO* slot, const DWORD* sinceMs)
{
    char amNumber[16];
    char address[16];
    char since[16];
    char amId[QSS_AM_ID_SIZE];
    char guid[QSS_GUID_STRING_SIZE];
    const BYTE* ip = reinterpret_cast<const BYTE*>(&slot->ipAddress);
    StringCbPrintfA(amNumber, sizeof(amNumber), "%u", qssAmNumber(slot));
    StringCbPrintfA(address, sizeof(address), "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    qssCopyAmId(amId, slot->amId);
    Qss_PvmIdToGuidString(slot->pInstance->pvmId, sizeof(guid), guid);
    LPCSTR strings[5];
    WORD count = 0;
    strings[count++] = amNumber;
    strings[count++] = address;
    if (sinceMs != NULL) {
        StringCbPrintfA(since, sizeof(since), "%u", *sinceMs);
        strings[count++] = since;
    }
    strings[count++] = amId;
    strings[count++] = guid;
    Qss_LogEvent(eventId, count, strings, sizeof(QSS_INSTANCE), slot->pInstance);
}
