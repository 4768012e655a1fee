#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "Qss/net/packet.h"

namespace {

QSS_PACKET_HEADER RequestHeader(uint32_t packetType, uint32_t length, ULONGLONG sequence)
{
    QSS_PACKET_HEADER header;
    memset(&header, 0, sizeof header);
    header.protocolRevision = QSS_PROTOCOL_REVISION;
    header.length = length;
    header.signature = QSS_PACKET_SIGNATURE;
    header.packetType = packetType;
    header.srcComponentId = QSS_COMPONENT_ID_AM;
    header.dstComponentId = QSS_COMPONENT_ID_QS;
    header.sequence = sequence;
    return header;
}

std::vector<uint8_t> BytesOf(const void* record, size_t size)
{
    const uint8_t* bytes = (const uint8_t*)record;
    return std::vector<uint8_t>(bytes, bytes + size);
}

} // namespace

TEST(PacketChecksum, KnownVectors)
{
    EXPECT_EQ(qssChecksum("", 0), 0xED996667u);
    EXPECT_EQ(qssChecksum("abc", 3), 0xED360406u);
    EXPECT_EQ(qssChecksum("abcd", 4), 0x89360406u);
}

TEST(PacketChecksum, QueryServiceMatchesWireBytes)
{
    QSS_PACKET_HEADER query = RequestHeader(ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, QSS_PACKET_HEADER_SIZE, 1);
    query.checksum = qssChecksum(&query, sizeof query);
    EXPECT_EQ(query.checksum, 0x9BE91594u);

    std::vector<uint8_t> expected = {
        0x00, 0x00, 0x05, 0x00, 0x38, 0x00, 0x00, 0x00, 0x43, 0x50, 0x53, 0x51,
        0x94, 0x15, 0xE9, 0x9B, 0x01, 0x00, 0x00, 0x00, 0x56, 0x00, 0x58, 0x00,
    };
    expected.resize(32, 0);
    expected.push_back(0x01);
    expected.resize(QSS_PACKET_HEADER_SIZE, 0);
    EXPECT_EQ(BytesOf(&query, sizeof query), expected);
}

TEST(PacketChecksum, ChecksummedDatagramSumsToZeroAndAnyFlippedBitBreaksIt)
{
    QSS_ATTACH_INSTANCE_REQUEST request;
    memset(&request, 0, sizeof request);
    request.header = RequestHeader(ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, sizeof request, 0x0123456789ABCDEFull);
    for (size_t i = 0; i < sizeof request.pvmId; ++i)
        request.pvmId[i] = (uint8_t)(0xA0 + i);
    request.amNumber = 2;
    request.keepaliveInterval = 1000;
    request.instanceTimeout = 5000;
    strcpy(request.serverIdentity.hostName, "QSHOST");
    strcpy(request.serverIdentity.serverId, "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    strcpy(request.amId, "11111111-2222-3333-4444-555555555555");
    request.header.checksum = qssChecksum(&request, sizeof request);

    ASSERT_EQ(qssChecksum(&request, sizeof request), 0u);
    uint8_t* bytes = (uint8_t*)&request;
    for (size_t bit = 0; bit < 8 * sizeof request; ++bit) {
        bytes[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        EXPECT_NE(qssChecksum(&request, sizeof request), 0u) << "bit " << bit;
        bytes[bit / 8] ^= (uint8_t)(1u << (bit % 8));
    }
}

// The rule the wire defines: byte i weighs 2^(8 * (i mod 4)), summed from the seed, negated.
static uint32_t ReferenceChecksum(const uint8_t* bytes, size_t size)
{
    uint32_t sum = QSS_CHECKSUM_SEED;
    for (size_t i = 0; i < size; ++i)
        sum += (uint32_t)bytes[i] << (8 * (i % 4));
    return 0u - sum;
}

TEST(PacketChecksum, EveryLengthAndAlignmentMatchesTheByteRule)
{
    uint8_t storage[QSS_MAX_PACKET_SIZE + 8];
    uint32_t state = 0x12345678u;
    for (uint8_t& b : storage) {
        state = state * 1103515245u + 12345u;
        b = (uint8_t)(state >> 24);
    }
    for (size_t offset = 0; offset < 4; ++offset) {
        for (size_t size = 0; size <= QSS_MAX_PACKET_SIZE; ++size) {
            ASSERT_EQ(qssChecksum(storage + offset, size), ReferenceChecksum(storage + offset, size))
                << "offset " << offset << " size " << size;
        }
    }
}

TEST(PacketComponentInfo, IsTheFixedRecordOnTheWire)
{
    std::vector<uint8_t> expected = {0x04, 0x00, 0x00, 0x00, 0x58};
    for (char c : {'Z', 'e', 'l', 'Q', 'S', 'S'}) {
        expected.push_back((uint8_t)c);
        expected.push_back(0x00);
    }
    expected.resize(69, 0);
    for (uint8_t b : {0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x20, 0x51, 0x5A})
        expected.push_back(b);
    EXPECT_EQ(BytesOf(&qssComponentInfo, sizeof qssComponentInfo), expected);
}

TEST(PacketReplyType, OnlyRequestsHaveOne)
{
    for (uint32_t type = ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE; type <= ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE; type += 2)
        EXPECT_EQ(qssReplyType(type), type + 1) << "type " << type;
    for (uint32_t type : {0u, 2u, 4u, 14u, 16u, 17u, 18u, 19u, 0xFFFFFFFFu})
        EXPECT_EQ(qssReplyType(type), 0u) << "type " << type;
}

TEST(PacketServerIdentity, LiesWhereEachRequestCarriesIt)
{
    uint8_t datagram[QSS_MAX_PACKET_SIZE] = {};
    QSS_PACKET_HEADER* header = (QSS_PACKET_HEADER*)datagram;
    const struct {
        uint32_t type;
        size_t offset;
    } carriers[] = {
        {ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, 84}, {ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE, 76},
        {ZEL_K_QS_PACKET_TYPE_KEEPALIVE, 76},       {ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, 76},
        {ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE, 72},  {ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM, 88},
    };
    for (const auto& carrier : carriers) {
        header->packetType = carrier.type;
        EXPECT_EQ((const uint8_t*)qssGetServerIdentity(header), datagram + carrier.offset) << "type " << carrier.type;
    }
    for (uint32_t type : {0u, 1u, 2u, 4u, 15u, 17u, 0xFFFFFFFFu}) {
        header->packetType = type;
        EXPECT_EQ(qssGetServerIdentity(header), nullptr) << "type " << type;
    }
    EXPECT_EQ(qssGetServerIdentity(nullptr), nullptr);
}

TEST(PacketAmAddress, KeepsAddressAsOnTheWireAndPortInHostOrder)
{
    SOCKADDR_IN from;
    memset(&from, 0, sizeof from);
    from.sin_family = AF_INET;
    from.sin_port = htons(4557);
    from.sin_addr.s_addr = htonl(0x7F000105); // 127.0.1.5

    QSS_AM_ADDRESS saved = qssSaveAmAddress(&from);
    EXPECT_EQ(saved.port, 4557);
    const uint8_t expectedAddress[] = {127, 0, 1, 5};
    EXPECT_EQ(memcmp(&saved.ipAddress, expectedAddress, sizeof expectedAddress), 0);

    QSS_QUERY_INSTANCE_REPLY reply;
    memset(&reply, 0, sizeof reply);
    reply.am1Address = saved.ipAddress;
    reply.am1Port = saved.port;
    const uint8_t* bytes = (const uint8_t*)&reply;
    const uint8_t expectedWire[] = {127, 0, 1, 5, 0xCD, 0x11};
    EXPECT_EQ(memcmp(bytes + 76, expectedWire, sizeof expectedWire), 0);
}
