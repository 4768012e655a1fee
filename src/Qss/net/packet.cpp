// The checksum and the small pure helpers of the datagram format.
#include "Qss/net/packet.h"

#include <bit>
#include <cstring>

const QSS_COMPONENT_INFO qssComponentInfo = {
    4,
    (uint8_t)QSS_COMPONENT_ID_QS,
    {'Z', 'e', 'l', 'Q', 'S', 'S'},
    {7, 1, 0, 0},
    {0x20, 0x20, 0x51, 0x5A}, // "  QZ"
};

uint32_t qssChecksum(const void* buffer, size_t size)
{
    // The sum of the little-endian 32-bit words, a short last word padded with
    // zeros; copied out word by word, so that alignment does not matter.
    const uint8_t* bytes = (const uint8_t*)buffer;
    uint32_t sum = QSS_CHECKSUM_SEED;
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        uint32_t word;
        std::memcpy(&word, bytes + i, sizeof(word));
        if constexpr (std::endian::native == std::endian::big)
            word = (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
        sum += word;
    }
    for (; i < size; ++i)
        sum += (uint32_t)bytes[i] << (8 * (i % 4));
    return 0u - sum;
}

uint32_t qssReplyType(uint32_t requestType)
{
    bool isRequest = requestType >= ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE
        && requestType <= ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE && requestType % 2 == 1;
    return isRequest ? requestType + 1 : 0;
}

const QSS_TARGET_SERVER* qssGetServerIdentity(const QSS_PACKET_HEADER* header)
{
    if (header == nullptr)
        return nullptr;
    size_t offset;
    switch (header->packetType) {
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE:
        offset = offsetof(QSS_ATTACH_INSTANCE_REQUEST, serverIdentity);
        break;
    case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE:
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE:
    case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM:
        offset = offsetof(QSS_AM_REQUEST, serverIdentity);
        break;
    case ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE:
        offset = offsetof(QSS_QUERY_INSTANCE_REQUEST, serverIdentity);
        break;
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM:
        offset = offsetof(QSS_ACQUIRE_QUORUM_REQUEST, serverIdentity);
        break;
    default:
        return nullptr;
    }
    return (const QSS_TARGET_SERVER*)((const uint8_t*)header + offset);
}

QSS_AM_ADDRESS qssSaveAmAddress(const SOCKADDR_IN* address)
{
    QSS_AM_ADDRESS saved;
    saved.ipAddress = address->sin_addr.s_addr;
    saved.port = ntohs(address->sin_port);
    return saved;
}
