#include "qsinstance.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qsclient.h"

BOOL QsParsePvmId(const char* text, BYTE* pvmId)
{
    size_t length = strlen(text);
    if (length == 38 && text[0] == '{' && text[37] == '}') {
        text++;
        length = 36;
    }
    if (length != 36) {
        return FALSE;
    }
    int byte = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return FALSE;
            }
            i++;
            continue;
        }
        if (!isxdigit((unsigned char)text[i]) || !isxdigit((unsigned char)text[i + 1])) {
            return FALSE;
        }
        char pair[3] = {text[i], text[i + 1], 0};
        pvmId[byte++] = (BYTE)strtoul(pair, NULL, 16);
        i += 2;
    }
    return byte == QSS_PVM_ID_SIZE;
}

const char* QsStatusName(uint32_t status)
{
    switch (status) {
    case ZEL_K_QS_STATUS_SUCCESS: return "SUCCESS";
    case ZEL_K_QS_STATUS_INVALID_AM_NUMBER: return "INVALID_AM_NUMBER";
    case ZEL_K_QS_STATUS_NOT_ATTACHED: return "NOT_ATTACHED";
    case ZEL_K_QS_STATUS_VOTING: return "VOTING";
    case ZEL_K_QS_STATUS_QUORUM_DENIED: return "QUORUM_DENIED";
    case ZEL_K_QS_STATUS_ALREADY_HOLDING: return "ALREADY_HOLDING";
    case ZEL_K_QS_STATUS_NOT_HOLDING: return "NOT_HOLDING";
    case ZEL_K_QS_STATUS_NO_RESOURCES: return "NO_RESOURCES";
    case ZEL_K_QS_STATUS_TOO_MANY_INSTANCES: return "TOO_MANY_INSTANCES";
    case ZEL_K_QS_STATUS_WRONG_SERVER: return "WRONG_SERVER";
    case ZEL_K_QS_STATUS_INTERNAL_ERROR: return "INTERNAL_ERROR";
    }
    return "UNKNOWN";
}

static void QsFillTarget(QSS_TARGET_SERVER* identity, const QS_TARGET* target)
{
    memset(identity, 0, sizeof(*identity));
    memcpy(identity->hostName, target->hostName, sizeof(identity->hostName));
    memcpy(identity->serverId, target->serverId, sizeof(identity->serverId));
}

static void QsFillAmId(char* field, const char* amId)
{
    memset(field, 0, 37);
    strncpy(field, amId, 36);
}

void QsBuildAttachInstance(QSS_ATTACH_INSTANCE_REQUEST* request, ULONGLONG sequence, const BYTE* pvmId,
                           uint32_t amNumber, uint32_t keepaliveInterval, uint32_t instanceTimeout,
                           const QS_TARGET* target, const char* amId)
{
    memset(request, 0, sizeof(*request));
    memcpy(request->pvmId, pvmId, QSS_PVM_ID_SIZE);
    request->amNumber = amNumber;
    request->keepaliveInterval = keepaliveInterval;
    request->instanceTimeout = instanceTimeout;
    QsFillTarget(&request->serverIdentity, target);
    QsFillAmId(request->amId, amId);
    QsSealRequest(&request->header, ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, sizeof(*request), sequence,
                  QSS_PROTOCOL_REVISION);
}

void QsBuildAmRequest(QSS_AM_REQUEST* request, uint32_t packetType, ULONGLONG sequence, const BYTE* pvmId,
                      uint32_t amNumber, const QS_TARGET* target, const char* amId)
{
    memset(request, 0, sizeof(*request));
    memcpy(request->pvmId, pvmId, QSS_PVM_ID_SIZE);
    request->amNumber = amNumber;
    QsFillTarget(&request->serverIdentity, target);
    QsFillAmId(request->amId, amId);
    QsSealRequest(&request->header, packetType, sizeof(*request), sequence, QSS_PROTOCOL_REVISION);
}

void QsBuildQueryInstance(QSS_QUERY_INSTANCE_REQUEST* request, ULONGLONG sequence, const BYTE* pvmId,
                          const QS_TARGET* target)
{
    memset(request, 0, sizeof(*request));
    memcpy(request->pvmId, pvmId, QSS_PVM_ID_SIZE);
    QsFillTarget(&request->serverIdentity, target);
    QsSealRequest(&request->header, ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE, sizeof(*request), sequence,
                  QSS_PROTOCOL_REVISION);
}

static void QsFormatAm(const char* name, uint32_t address, uint16_t port, uint8_t online, uint8_t hold, char* text,
                       size_t size)
{
    const BYTE* ip = (const BYTE*)&address;
    snprintf(text, size, "%s: %u.%u.%u.%u:%u %s %s\n", name, ip[0], ip[1], ip[2], ip[3], port,
             online ? "ONLINE" : "OFFLINE", hold ? "HOLD" : "RELEASE");
}

void QsFormatInstanceReply(const void* reply, char* text, size_t size)
{
    const QSS_STATUS_REPLY* status = (const QSS_STATUS_REPLY*)reply;
    int used = snprintf(text, size, "status: %u %s\nsequence: %llu\nprotocol revision: 0x%08X\n", status->status,
                        QsStatusName(status->status), status->header.sequence, status->header.protocolRevision);
    if (used < 0 || (size_t)used >= size) {
        return;
    }
    if (status->header.packetType == ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK) {
        const QSS_KEEPALIVE_REPLY* keepalive = (const QSS_KEEPALIVE_REPLY*)reply;
        snprintf(text + used, size - used, "since last keepalive: AM1 %u ms, AM2 %u ms\n",
                 keepalive->sinceLastKeepaliveAm1, keepalive->sinceLastKeepaliveAm2);
    } else if (status->header.packetType == ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE_ACK) {
        const QSS_QUERY_INSTANCE_REPLY* query = (const QSS_QUERY_INSTANCE_REPLY*)reply;
        char am1[64];
        char am2[64];
        QsFormatAm("AM1", query->am1Address, query->am1Port, query->am1Online, query->am1Hold, am1, sizeof(am1));
        QsFormatAm("AM2", query->am2Address, query->am2Port, query->am2Online, query->am2Hold, am2, sizeof(am2));
        snprintf(text + used, size - used, "instance known: %u\n%s%s", query->instanceKnown, am1, am2);
    }
}
