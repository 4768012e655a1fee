// The datagrams exchanged with the AMs: layouts, constants and small pure helpers.
//
// Every record is packed and every field sits at a fixed offset; the checks
// below hold on both targets, so a layout change cannot slip through. Request
// and reply structures start with the header, so their offsets are those of
// the datagram itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

// Integers travel in the machine's own byte order, which must be little-endian.
static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");

constexpr uint32_t QSS_PACKET_SIGNATURE = 0x51535043; // "CPSQ" on the wire
constexpr uint16_t QSS_PROTOCOL_MAJOR = 5;
constexpr uint16_t QSS_PROTOCOL_MINOR = 0;
constexpr uint32_t QSS_PROTOCOL_REVISION = ((uint32_t)QSS_PROTOCOL_MAJOR << 16) | QSS_PROTOCOL_MINOR;
constexpr uint16_t QSS_COMPONENT_ID_AM = 86; // 'V'
constexpr uint16_t QSS_COMPONENT_ID_QS = 88; // 'X'
constexpr uint32_t QSS_MAX_PACKET_SIZE = 259;
constexpr uint32_t QSS_PACKET_HEADER_SIZE = 56;
constexpr uint32_t QSS_CHECKSUM_SEED = 0x12669999;

constexpr uint32_t ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE = 1;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE_ACK = 2;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE = 3;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK = 4;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE = 5;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE_ACK = 6;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE = 7;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE_ACK = 8;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_KEEPALIVE = 9;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK = 10;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM = 11;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK = 12;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM = 13;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM_ACK = 14;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE = 15;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE_ACK = 16;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE = 17;
constexpr uint32_t ZEL_K_QS_PACKET_TYPE_ENUM_INSTANCE_ACK = 18;

constexpr uint32_t ZEL_K_QS_STATUS_SUCCESS = 0;
constexpr uint32_t ZEL_K_QS_STATUS_INVALID_AM_NUMBER = 1;
constexpr uint32_t ZEL_K_QS_STATUS_NOT_ATTACHED = 2;
constexpr uint32_t ZEL_K_QS_STATUS_VOTING = 3;
constexpr uint32_t ZEL_K_QS_STATUS_QUORUM_DENIED = 5;
constexpr uint32_t ZEL_K_QS_STATUS_ALREADY_HOLDING = 6;
constexpr uint32_t ZEL_K_QS_STATUS_NOT_HOLDING = 7;
constexpr uint32_t ZEL_K_QS_STATUS_NO_RESOURCES = 9;
constexpr uint32_t ZEL_K_QS_STATUS_TOO_MANY_INSTANCES = 10;
constexpr uint32_t ZEL_K_QS_STATUS_WRONG_SERVER = 11;
constexpr uint32_t ZEL_K_QS_STATUS_INTERNAL_ERROR = 0xFFFE;

// Sent in KEEPALIVE_ACK for an AM whose keepalive age is not reported.
constexpr uint32_t QSS_KEEPALIVE_AGE_UNKNOWN = 0xFFFFFFFF;

constexpr size_t QSS_PVM_ID_SIZE = 16;

#pragma pack(push, 1)

struct QSS_PACKET_HEADER {
    uint32_t protocolRevision; // minor in the low 16 bits, major in the high 16 bits
    uint32_t length;           // the whole datagram, header included
    uint32_t signature;
    uint32_t checksum;
    uint32_t packetType;
    uint16_t srcComponentId;
    uint16_t dstComponentId;
    uint8_t reserved1[8];
    ULONGLONG sequence;
    uint8_t reserved2[16];
};

// The server an instance request is meant for, as the AM learnt it from QUERY_SERVICE_ACK.
struct QSS_TARGET_SERVER {
    char hostName[68];
    char serverId[40];
};

struct QSS_COMPONENT_INFO {
    uint32_t recordFormat;
    uint8_t componentId;
    uint16_t componentName[32]; // UTF-16LE, zero-padded
    uint16_t version[4];
    uint8_t componentTag[4];
};

// The body of QUERY_SERVICE_ACK and SCAN_SERVICE_ACK; offsets from the body's start.
struct QSS_SERVER_INFO {
    uint32_t ipAddress; // network order, as in s_addr
    uint16_t port;
    uint16_t protocolMinor;
    uint16_t protocolMajor;
    uint32_t activeInstanceCount;
    char hostName[68];
    char serverId[40];
    QSS_COMPONENT_INFO componentInfo;
};

// QUERY_SERVICE_ACK and SCAN_SERVICE_ACK as a whole datagram.
struct QSS_SERVICE_REPLY {
    QSS_PACKET_HEADER header;
    QSS_SERVER_INFO serverInfo;
};

struct QSS_ATTACH_INSTANCE_REQUEST {
    QSS_PACKET_HEADER header;
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    uint32_t amNumber;
    uint32_t keepaliveInterval; // ms
    uint32_t instanceTimeout;   // ms
    QSS_TARGET_SERVER serverIdentity;
    char amId[37];
};

// DETACH_INSTANCE, KEEPALIVE and RELEASE_QUORUM.
struct QSS_AM_REQUEST {
    QSS_PACKET_HEADER header;
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    uint32_t amNumber;
    QSS_TARGET_SERVER serverIdentity;
    char amId[37];
};

struct QSS_QUERY_INSTANCE_REQUEST {
    QSS_PACKET_HEADER header;
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    QSS_TARGET_SERVER serverIdentity;
};

struct QSS_ACQUIRE_QUORUM_REQUEST {
    QSS_PACKET_HEADER header;
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    uint32_t amNumber;
    uint32_t quorumTimeout; // ms
    ULONGLONG health;
    QSS_TARGET_SERVER serverIdentity;
    char amId[37];
};

// ATTACH_INSTANCE_ACK, DETACH_INSTANCE_ACK, ACQUIRE_QUORUM_ACK and RELEASE_QUORUM_ACK.
struct QSS_STATUS_REPLY {
    QSS_PACKET_HEADER header;
    uint32_t status;
};

struct QSS_KEEPALIVE_REPLY {
    QSS_PACKET_HEADER header;
    uint32_t status;
    uint32_t sinceLastKeepaliveAm1; // ms
    uint32_t sinceLastKeepaliveAm2; // ms
};

struct QSS_QUERY_INSTANCE_REPLY {
    QSS_PACKET_HEADER header;
    uint32_t status;
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    uint32_t am1Address; // network order, as in s_addr
    uint16_t am1Port;
    uint8_t am1Online;
    uint8_t am1Hold;
    uint32_t am2Address; // network order, as in s_addr
    uint16_t am2Port;
    uint8_t am2Online;
    uint8_t am2Hold;
    uint8_t instanceKnown;
};

#pragma pack(pop)

static_assert(sizeof(QSS_PACKET_HEADER) == QSS_PACKET_HEADER_SIZE);
static_assert(offsetof(QSS_PACKET_HEADER, protocolRevision) == 0);
static_assert(offsetof(QSS_PACKET_HEADER, length) == 4);
static_assert(offsetof(QSS_PACKET_HEADER, signature) == 8);
static_assert(offsetof(QSS_PACKET_HEADER, checksum) == 12);
static_assert(offsetof(QSS_PACKET_HEADER, packetType) == 16);
static_assert(offsetof(QSS_PACKET_HEADER, srcComponentId) == 20);
static_assert(offsetof(QSS_PACKET_HEADER, dstComponentId) == 22);
static_assert(offsetof(QSS_PACKET_HEADER, reserved1) == 24);
static_assert(offsetof(QSS_PACKET_HEADER, sequence) == 32);
static_assert(offsetof(QSS_PACKET_HEADER, reserved2) == 40);

static_assert(sizeof(QSS_TARGET_SERVER) == 108);
static_assert(offsetof(QSS_TARGET_SERVER, hostName) == 0);
static_assert(offsetof(QSS_TARGET_SERVER, serverId) == 68);

static_assert(sizeof(QSS_COMPONENT_INFO) == 81);
static_assert(offsetof(QSS_COMPONENT_INFO, recordFormat) == 0);
static_assert(offsetof(QSS_COMPONENT_INFO, componentId) == 4);
static_assert(offsetof(QSS_COMPONENT_INFO, componentName) == 5);
static_assert(offsetof(QSS_COMPONENT_INFO, version) == 69);
static_assert(offsetof(QSS_COMPONENT_INFO, componentTag) == 77);

static_assert(sizeof(QSS_SERVER_INFO) == 203);
static_assert(offsetof(QSS_SERVER_INFO, ipAddress) == 0);
static_assert(offsetof(QSS_SERVER_INFO, port) == 4);
static_assert(offsetof(QSS_SERVER_INFO, protocolMinor) == 6);
static_assert(offsetof(QSS_SERVER_INFO, protocolMajor) == 8);
static_assert(offsetof(QSS_SERVER_INFO, activeInstanceCount) == 10);
static_assert(offsetof(QSS_SERVER_INFO, hostName) == 14);
static_assert(offsetof(QSS_SERVER_INFO, serverId) == 82);
static_assert(offsetof(QSS_SERVER_INFO, componentInfo) == 122);

// The largest datagram the server sends fills the receive buffer exactly.
static_assert(sizeof(QSS_SERVICE_REPLY) == QSS_MAX_PACKET_SIZE);
static_assert(offsetof(QSS_SERVICE_REPLY, header) == 0);
static_assert(offsetof(QSS_SERVICE_REPLY, serverInfo) == 56);

static_assert(sizeof(QSS_ATTACH_INSTANCE_REQUEST) == 229);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, header) == 0);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, pvmId) == 56);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, amNumber) == 72);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, keepaliveInterval) == 76);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, instanceTimeout) == 80);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, serverIdentity) == 84);
static_assert(offsetof(QSS_ATTACH_INSTANCE_REQUEST, amId) == 192);

static_assert(sizeof(QSS_AM_REQUEST) == 221);
static_assert(offsetof(QSS_AM_REQUEST, header) == 0);
static_assert(offsetof(QSS_AM_REQUEST, pvmId) == 56);
static_assert(offsetof(QSS_AM_REQUEST, amNumber) == 72);
static_assert(offsetof(QSS_AM_REQUEST, serverIdentity) == 76);
static_assert(offsetof(QSS_AM_REQUEST, amId) == 184);

static_assert(sizeof(QSS_QUERY_INSTANCE_REQUEST) == 180);
static_assert(offsetof(QSS_QUERY_INSTANCE_REQUEST, header) == 0);
static_assert(offsetof(QSS_QUERY_INSTANCE_REQUEST, pvmId) == 56);
static_assert(offsetof(QSS_QUERY_INSTANCE_REQUEST, serverIdentity) == 72);

static_assert(sizeof(QSS_ACQUIRE_QUORUM_REQUEST) == 233);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, header) == 0);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, pvmId) == 56);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, amNumber) == 72);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, quorumTimeout) == 76);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, health) == 80);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, serverIdentity) == 88);
static_assert(offsetof(QSS_ACQUIRE_QUORUM_REQUEST, amId) == 196);

static_assert(sizeof(QSS_STATUS_REPLY) == 60);
static_assert(offsetof(QSS_STATUS_REPLY, header) == 0);
static_assert(offsetof(QSS_STATUS_REPLY, status) == 56);

static_assert(sizeof(QSS_KEEPALIVE_REPLY) == 68);
static_assert(offsetof(QSS_KEEPALIVE_REPLY, header) == 0);
static_assert(offsetof(QSS_KEEPALIVE_REPLY, status) == 56);
static_assert(offsetof(QSS_KEEPALIVE_REPLY, sinceLastKeepaliveAm1) == 60);
static_assert(offsetof(QSS_KEEPALIVE_REPLY, sinceLastKeepaliveAm2) == 64);

static_assert(sizeof(QSS_QUERY_INSTANCE_REPLY) == 93);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, header) == 0);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, status) == 56);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, pvmId) == 60);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am1Address) == 76);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am1Port) == 80);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am1Online) == 82);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am1Hold) == 83);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am2Address) == 84);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am2Port) == 88);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am2Online) == 90);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, am2Hold) == 91);
static_assert(offsetof(QSS_QUERY_INSTANCE_REPLY, instanceKnown) == 92);

// Where a peer was last seen, kept per AM: the address as on the wire, the port in host order.
struct QSS_AM_ADDRESS {
    uint32_t ipAddress; // network order, as in s_addr
    uint16_t port;
};

// The record that identifies this server's component in QUERY_SERVICE_ACK and in events.
extern const QSS_COMPONENT_INFO qssComponentInfo;

// The checksum of size bytes: the seed plus every little-endian 32-bit group
// (a short tail zero-padded), negated. A datagram whose checksum field holds
// the checksum of the rest sums to 0.
uint32_t qssChecksum(const void* buffer, size_t size);

// The type that answers requestType, or 0 when requestType is not a request.
uint32_t qssReplyType(uint32_t requestType);

// Where the request's server identity lies within its datagram, or nullptr for
// a type that carries none (or no header). The header must start a receive
// buffer of QSS_MAX_PACKET_SIZE bytes.
const QSS_TARGET_SERVER* qssGetServerIdentity(const QSS_PACKET_HEADER* header);

QSS_AM_ADDRESS qssSaveAmAddress(const SOCKADDR_IN* address);
