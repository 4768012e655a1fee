#include "output.h"

#include <cstdio>
#include <cstring>

namespace {

void JsonPeer(QSCTL_JSON* json, const char* key, uint32_t address, uint16_t port, uint8_t online, uint8_t hold)
{
    char ip[16];
    QsctlFormatIp(address, ip, sizeof(ip));
    QsctlJsonBeginObject(json, key);
    QsctlJsonString(json, "address", ip);
    QsctlJsonNumber(json, "port", port);
    QsctlJsonBool(json, "online", online != 0);
    QsctlJsonBool(json, "hold", hold != 0);
    QsctlJsonEndObject(json);
}

}  // namespace

int QsctlExitForStatus(uint32_t status)
{
    switch (status) {
    case ZEL_K_QS_STATUS_SUCCESS: return QSCTL_EXIT_SUCCESS;
    case ZEL_K_QS_STATUS_NOT_ATTACHED: return QSCTL_EXIT_NOT_ATTACHED;
    case ZEL_K_QS_STATUS_QUORUM_DENIED: return QSCTL_EXIT_DENIED;
    case ZEL_K_QS_STATUS_VOTING:
    case ZEL_K_QS_STATUS_ALREADY_HOLDING:
    case ZEL_K_QS_STATUS_NOT_HOLDING: return QSCTL_EXIT_QUORUM_STATE;
    case ZEL_K_QS_STATUS_INVALID_AM_NUMBER:
    case ZEL_K_QS_STATUS_WRONG_SERVER: return QSCTL_EXIT_REFUSED;
    case ZEL_K_QS_STATUS_NO_RESOURCES:
    case ZEL_K_QS_STATUS_TOO_MANY_INSTANCES: return QSCTL_EXIT_SERVER_FULL;
    }
    return QSCTL_EXIT_SERVER_ERROR;
}

void QsctlFormatPvm(const BYTE* pvmId, char* text, size_t size)
{
    const BYTE* b = pvmId;
    StringCbPrintfA(text, size, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                    b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

void QsctlFormatIp(uint32_t address, char* text, size_t size)
{
    const BYTE* b = (const BYTE*)&address;
    StringCbPrintfA(text, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void QsctlFormatNow(char* text, size_t size)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    StringCbPrintfA(text, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u", (unsigned)now.wYear, (unsigned)now.wMonth,
                    (unsigned)now.wDay, (unsigned)now.wHour, (unsigned)now.wMinute, (unsigned)now.wSecond,
                    (unsigned)now.wMilliseconds);
}

void QsctlPrintService(const QSCTL_OPTIONS* options, const char* where, const QSS_SERVICE_REPLY* service)
{
    if (options->json) {
        QSCTL_JSON json;
        QsctlJsonBegin(&json);
        QsctlJsonString(&json, "command", options->command);
        QsctlJsonString(&json, "server", where);
        QsctlJsonBool(&json, "answered", service != NULL);
        if (service) {
            const QSS_SERVER_INFO* info = &service->serverInfo;
            char ip[16];
            QsctlFormatIp(info->ipAddress, ip, sizeof(ip));
            char component[33];
            QsComponentName(info, component, sizeof(component));
            char version[32];
            StringCbPrintfA(version, sizeof(version), "%u.%u.%u.%u", (unsigned)info->componentInfo.version[0],
                            (unsigned)info->componentInfo.version[1], (unsigned)info->componentInfo.version[2],
                            (unsigned)info->componentInfo.version[3]);
            char protocol[16];
            StringCbPrintfA(protocol, sizeof(protocol), "%u.%u", (unsigned)info->protocolMajor,
                            (unsigned)info->protocolMinor);
            QsctlJsonField(&json, "hostName", info->hostName, sizeof(info->hostName));
            QsctlJsonField(&json, "serverId", info->serverId, sizeof(info->serverId));
            QsctlJsonString(&json, "protocol", protocol);
            QsctlJsonString(&json, "address", ip);
            QsctlJsonNumber(&json, "port", info->port);
            QsctlJsonNumber(&json, "activeInstances", info->activeInstanceCount);
            QsctlJsonString(&json, "component", component);
            QsctlJsonString(&json, "version", version);
            QsctlJsonNumber(&json, "sequence", service->header.sequence);
        }
        QsctlJsonPrint(&json);
        return;
    }
    if (!service) {
        std::printf("No answer from %s\n", where);
        return;
    }
    char text[1024];
    QsFormatServerInfo(&service->serverInfo, text, sizeof(text));
    std::printf("Quorum server at %s\n%s", where, text);
}

void QsctlPrintNoAnswer(const QSCTL_OPTIONS* options, const char* where)
{
    if (options->json) {
        QSCTL_JSON json;
        QsctlJsonBegin(&json);
        QsctlJsonString(&json, "command", options->command);
        QsctlJsonString(&json, "server", where);
        QsctlJsonBool(&json, "answered", FALSE);
        QsctlJsonPrint(&json);
        return;
    }
    std::printf("No answer from %s\n", where);
}

void QsctlPrintInstanceReply(const QSCTL_OPTIONS* options, const QSCTL_SESSION* session, const BYTE* pvmId,
                             DWORD amNumber, const QSCTL_REPLY* reply)
{
    QSS_STATUS_REPLY status;
    std::memcpy(&status, reply->bytes, sizeof(status));
    if (!options->json) {
        char text[1024];
        QsFormatInstanceReply(reply->bytes, text, sizeof(text));
        std::printf("%s from %s\n%s", options->command, session->where, text);
        return;
    }
    char pvm[40];
    QsctlFormatPvm(pvmId, pvm, sizeof(pvm));
    char revision[16];
    StringCbPrintfA(revision, sizeof(revision), "0x%08X", status.header.protocolRevision);
    QSCTL_JSON json;
    QsctlJsonBegin(&json);
    QsctlJsonString(&json, "command", options->command);
    QsctlJsonString(&json, "server", session->where);
    QsctlJsonBool(&json, "answered", TRUE);
    QsctlJsonString(&json, "pvm", pvm);
    if (amNumber) QsctlJsonNumber(&json, "am", amNumber);
    QsctlJsonNumber(&json, "status", status.status);
    QsctlJsonString(&json, "statusName", QsStatusName(status.status));
    QsctlJsonNumber(&json, "sequence", status.header.sequence);
    QsctlJsonString(&json, "protocolRevision", revision);
    QsctlJsonNumber(&json, "attempts", (ULONGLONG)reply->attempts);
    if (status.header.packetType == ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK) {
        QSS_KEEPALIVE_REPLY keepalive;
        std::memcpy(&keepalive, reply->bytes, sizeof(keepalive));
        QsctlJsonNumber(&json, "sinceLastKeepaliveAm1", keepalive.sinceLastKeepaliveAm1);
        QsctlJsonNumber(&json, "sinceLastKeepaliveAm2", keepalive.sinceLastKeepaliveAm2);
    } else if (status.header.packetType == ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE_ACK) {
        QSS_QUERY_INSTANCE_REPLY query;
        std::memcpy(&query, reply->bytes, sizeof(query));
        QsctlJsonBool(&json, "instanceKnown", query.instanceKnown != 0);
        JsonPeer(&json, "am1", query.am1Address, query.am1Port, query.am1Online, query.am1Hold);
        JsonPeer(&json, "am2", query.am2Address, query.am2Port, query.am2Online, query.am2Hold);
    }
    QsctlJsonPrint(&json);
}

void QsctlCopyField(char* out, size_t outSize, const char* field, size_t fieldSize)
{
    size_t n = 0;
    while (n < fieldSize && field[n] && n + 1 < outSize) ++n;
    std::memcpy(out, field, n);
    out[n] = '\0';
}
