#include "qsclient.h"

#include <cstring>

const char* QsReplyCheckText(QS_REPLY_CHECK check)
{
    switch (check) {
    case QS_REPLY_OK: return "ok";
    case QS_REPLY_BAD_LENGTH: return "length field does not match the datagram";
    case QS_REPLY_BAD_SIGNATURE: return "bad signature";
    case QS_REPLY_BAD_CHECKSUM: return "bad checksum";
    case QS_REPLY_BAD_COMPONENTS: return "not from a quorum server to an AM";
    case QS_REPLY_WRONG_TYPE: return "not the reply type of the request";
    case QS_REPLY_WRONG_SEQUENCE: return "answers another request";
    case QS_REPLY_BAD_SIZE: return "wrong size for its type";
    }
    return "unknown";
}

void QsSealRequest(QSS_PACKET_HEADER* request, uint32_t packetType, uint32_t length, ULONGLONG sequence,
                   uint32_t protocolRevision)
{
    request->protocolRevision = protocolRevision;
    request->length = length;
    request->signature = QSS_PACKET_SIGNATURE;
    request->checksum = 0;
    request->packetType = packetType;
    request->srcComponentId = QSS_COMPONENT_ID_AM;
    request->dstComponentId = QSS_COMPONENT_ID_QS;
    std::memset(request->reserved1, 0, sizeof(request->reserved1));
    request->sequence = sequence;
    std::memset(request->reserved2, 0, sizeof(request->reserved2));
    request->checksum = qssChecksum(request, length);
}

void QsBuildServiceQuery(QSS_PACKET_HEADER* request, uint32_t packetType, ULONGLONG sequence)
{
    QsSealRequest(request, packetType, QSS_PACKET_HEADER_SIZE, sequence, QSS_PROTOCOL_REVISION);
}

QS_REPLY_CHECK QsCheckReply(const void* datagram, int received, uint32_t requestType, ULONGLONG sequence)
{
    if (received < (int)QSS_PACKET_HEADER_SIZE) return QS_REPLY_BAD_LENGTH;
    QSS_PACKET_HEADER header;
    std::memcpy(&header, datagram, sizeof(header));
    if (header.length != (uint32_t)received) return QS_REPLY_BAD_LENGTH;
    if (header.signature != QSS_PACKET_SIGNATURE) return QS_REPLY_BAD_SIGNATURE;
    if (qssChecksum(datagram, (size_t)received) != 0) return QS_REPLY_BAD_CHECKSUM;
    if (header.srcComponentId != QSS_COMPONENT_ID_QS || header.dstComponentId != QSS_COMPONENT_ID_AM)
        return QS_REPLY_BAD_COMPONENTS;
    if (header.packetType != qssReplyType(requestType)) return QS_REPLY_WRONG_TYPE;
    if (header.sequence != sequence) return QS_REPLY_WRONG_SEQUENCE;
    return QS_REPLY_OK;
}

QS_REPLY_CHECK QsParseServiceReply(const void* datagram, int received, uint32_t requestType, ULONGLONG sequence,
                                   QSS_SERVICE_REPLY* reply)
{
    QS_REPLY_CHECK check = QsCheckReply(datagram, received, requestType, sequence);
    if (check != QS_REPLY_OK) return check;
    if (received != (int)sizeof(QSS_SERVICE_REPLY)) return QS_REPLY_BAD_SIZE;
    std::memcpy(reply, datagram, sizeof(*reply));
    return QS_REPLY_OK;
}

namespace {

// A fixed-size text field that may lack its terminator.
void QsCopyField(char* out, size_t outSize, const char* field, size_t fieldSize)
{
    size_t n = 0;
    while (n < fieldSize && field[n] && n + 1 < outSize) ++n;
    std::memcpy(out, field, n);
    out[n] = '\0';
}

}  // namespace

void QsComponentName(const QSS_SERVER_INFO* info, char* text, size_t size)
{
    if (size == 0) return;
    size_t n = 0;
    for (; n < 32 && n + 1 < size && info->componentInfo.componentName[n]; ++n) {
        uint16_t unit = info->componentInfo.componentName[n];
        text[n] = unit < 0x80 ? (char)unit : '?';
    }
    text[n] = '\0';
}

void QsFormatServerInfo(const QSS_SERVER_INFO* info, char* text, size_t size)
{
    char hostName[sizeof(info->hostName) + 1];
    char serverId[sizeof(info->serverId) + 1];
    QsCopyField(hostName, sizeof(hostName), info->hostName, sizeof(info->hostName));
    QsCopyField(serverId, sizeof(serverId), info->serverId, sizeof(info->serverId));
    char component[33];
    QsComponentName(info, component, sizeof(component));
    const BYTE* b = (const BYTE*)&info->ipAddress;
    StringCbPrintfA(text, size,
                    "Host name:        %s\n"
                    "Server identity:  %s\n"
                    "Protocol version: %u.%u\n"
                    "Address:          %u.%u.%u.%u\n"
                    "Port:             %u\n"
                    "Active instances: %u\n"
                    "Component:        %s %u.%u.%u.%u\n",
                    hostName, serverId, (unsigned)info->protocolMajor, (unsigned)info->protocolMinor, b[0], b[1],
                    b[2], b[3], (unsigned)info->port, (unsigned)info->activeInstanceCount, component,
                    (unsigned)info->componentInfo.version[0], (unsigned)info->componentInfo.version[1],
                    (unsigned)info->componentInfo.version[2], (unsigned)info->componentInfo.version[3]);
}

void QsFormatAddress(const SOCKADDR_IN* address, char* text, size_t size)
{
    const BYTE* b = (const BYTE*)&address->sin_addr.s_addr;
    StringCbPrintfA(text, size, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], (unsigned)ntohs(address->sin_port));
}

int QsResolve(const char* host, WORD port, SOCKADDR_IN* addresses, int capacity)
{
    ADDRINFOA hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    ADDRINFOA* found = NULL;
    if (getaddrinfo(host, NULL, &hints, &found) != 0) return -1;
    int count = 0;
    for (const ADDRINFOA* ai = found; ai && count < capacity; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(SOCKADDR_IN)) continue;
        SOCKADDR_IN address;
        std::memcpy(&address, ai->ai_addr, sizeof(address));
        address.sin_port = htons(port);
        BOOL seen = FALSE;
        for (int i = 0; i < count; ++i) seen |= addresses[i].sin_addr.s_addr == address.sin_addr.s_addr;
        if (!seen) addresses[count++] = address;
    }
    freeaddrinfo(found);
    return count;
}

SOCKET QsOpenSocket(const char* localAddress)
{
    SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock == INVALID_SOCKET) return INVALID_SOCKET;
    SOCKADDR_IN local;
    std::memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = localAddress ? inet_addr(localAddress) : htonl(INADDR_ANY);
    if (bind(sock, (const SOCKADDR*)&local, sizeof(local)) != 0) {
        closesocket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

BOOL QsSend(SOCKET sock, const SOCKADDR_IN* to, const void* datagram, int length)
{
    return sendto(sock, (const char*)datagram, length, 0, (const SOCKADDR*)to, sizeof(*to)) == length;
}

int QsReceive(SOCKET sock, void* buffer, int capacity, DWORD timeoutMs, SOCKADDR_IN* from)
{
    fd_set set;
    FD_ZERO(&set);
    if (!DvSelectSetAdd(&set, sock)) return -1;
    struct timeval timeout;
    timeout.tv_sec = (long)(timeoutMs / 1000);
    timeout.tv_usec = (long)((timeoutMs % 1000) * 1000);
    int ready = select(0, &set, NULL, NULL, &timeout);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    SOCKADDR_IN source;
    int sourceSize = sizeof(source);
    int received = recvfrom(sock, (char*)buffer, capacity, 0, (SOCKADDR*)&source, &sourceSize);
    if (received < 0) return -1;
    if (from) *from = source;
    return received;
}

BOOL QsQueryService(SOCKET sock, const SOCKADDR_IN* server, uint32_t packetType, ULONGLONG sequence,
                    DWORD timeoutMs, int attempts, QSS_SERVICE_REPLY* reply)
{
    QSS_PACKET_HEADER request;
    QsBuildServiceQuery(&request, packetType, sequence);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!QsSend(sock, server, &request, sizeof(request))) return FALSE;
        BYTE buffer[QSS_MAX_PACKET_SIZE + 1];
        SOCKADDR_IN from;
        int received;
        while ((received = QsReceive(sock, buffer, sizeof(buffer), timeoutMs, &from)) > 0) {
            // Only the server's own answer to this request counts; strays are skipped.
            if (from.sin_addr.s_addr != server->sin_addr.s_addr || from.sin_port != server->sin_port) continue;
            if (QsParseServiceReply(buffer, received, packetType, sequence, reply) == QS_REPLY_OK) return TRUE;
        }
    }
    return FALSE;
}
