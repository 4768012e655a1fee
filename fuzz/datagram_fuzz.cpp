// The datagram path: header validation, dispatch and every request handler,
// run on the server thread's own per-datagram function against a server whose
// instance table already holds attached peers, holders and voters.
//
// The seed requests run once; every input then starts from a copy of the
// server they left (records, timers and persisted states, all in memory, the
// records' ticks as old as they were then), so that an input costs what its
// own datagrams cost.
//
// An input is a sequence of datagrams, each as
//   flags (1 byte)  bits 0-1: the sending peer (AM1, AM2 or a stranger, each
//                   from an address of its own);
//                   bits 2 and 3, of the first datagram only: the whole input
//                   runs with RequireIncreasingSequences on, and with an
//                   AllowedPeers list that admits AM1 and AM2, not the stranger;
//                   bit 6: the instance retain time passes before it arrives;
//                   bit 7: fix length and checksum, so that the body reaches
//                   the handler however it was mutated
//   size (2 bytes, little-endian), then that many bytes (cut at the input's end).
// Every reply the server sends must be a well-formed datagram of a reply type.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Qss/config/parameters.h"
#include "Qss/diag/diag.h"
#include "Qss/net/packet.h"
#include "Qss/net/peer_admission.h"
#include "Qss/net/reply.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_ageing.h"
#include "Qss/quorum/instance_table.h"
#include "Qss/quorum/instance_timer.h"
#include "Qss/quorum/keepalive.h"
#include "Qss/quorum/quorum_decision.h"
#include "fuzz_support.h"
#include "memory_registry.h"
#include "seed_requests.h"

namespace {

const int kPeers = 3;

// The quorum engine's clock, moved by the input; the timers run on real time.
DWORD fuzzTick = 1;
DWORD WINAPI FuzzTick(void) { return fuzzTick; }

struct Sockets {
    int receive;          // the server's receive socket: replies leave from it
    int peer[kPeers];     // where the peers' replies arrive, on 127.0.0.1, .2 and .3
    SOCKADDR_IN peerAddress[kPeers];
    QSS_PEER_FILTER peersButTheStranger;
};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "datagram harness: %s\n", what);
    std::abort();
}

int BoundUdpSocket(uint32_t hostAddress, SOCKADDR_IN* address)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    SOCKADDR_IN local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(hostAddress);
    socklen_t size = sizeof(local);
    if (sock < 0 || bind(sock, (sockaddr*)&local, sizeof(local)) != 0 ||
        getsockname(sock, (sockaddr*)&local, &size) != 0)
        Fail("cannot bind a loopback socket");
    if (address) *address = local;
    return sock;
}

// The one-time start: what the service start does before its server thread
// runs, with the identity the seed requests address.
Sockets StartServer()
{
    dvfuzz::UsePrivateStateDir();
    setenv("COMPUTERNAME", dvfuzz::kHostName, 1);
    qssTraceFlags = 0;
    qssGetTick = FuzzTick;
    if (!Qss_Initialize()) Fail("Qss_Initialize failed");
    DWORD size = sizeof(qssServerInfo.hostName);
    if (!GetComputerNameA(qssServerInfo.hostName, &size)) Fail("GetComputerNameA failed");
    StringCbCopyA(qssServerInfo.serverId, sizeof(qssServerInfo.serverId), dvfuzz::kServerId);
    qssServerInfo.protocolMinor = QSS_PROTOCOL_MINOR;
    qssServerInfo.protocolMajor = QSS_PROTOCOL_MAJOR;
    qssServerInfo.componentInfo = qssComponentInfo;
    Sockets s;
    s.receive = BoundUdpSocket(INADDR_LOOPBACK, nullptr);
    for (int i = 0; i < kPeers; ++i) s.peer[i] = BoundUdpSocket(INADDR_LOOPBACK + i, &s.peerAddress[i]);
    static const char kList[] = "127.0.0.1\0" "127.0.0.2\0";
    char bad[QSS_PEER_ENTRY_TEXT_SIZE];
    if (!qssBuildPeerFilter(kList, sizeof(kList), &s.peersButTheStranger, bad, sizeof(bad)))
        Fail("cannot build the AllowedPeers list");
    return s;
}

void CheckReply(const BYTE* reply, ssize_t size)
{
    if (size < (ssize_t)QSS_PACKET_HEADER_SIZE) Fail("reply shorter than a header");
    QSS_PACKET_HEADER header;
    std::memcpy(&header, reply, sizeof(header));
    if (header.length != (uint32_t)size) Fail("reply length differs from its size");
    if (header.signature != QSS_PACKET_SIGNATURE) Fail("reply signature");
    if (qssChecksum(reply, (size_t)size) != 0) Fail("reply checksum");
    if (header.srcComponentId != QSS_COMPONENT_ID_QS || header.dstComponentId != QSS_COMPONENT_ID_AM)
        Fail("reply component ids");
    size_t expected = 0;
    switch (header.packetType) {
    case ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE_ACK:
    case ZEL_K_QS_PACKET_TYPE_SCAN_SERVICE_ACK: expected = sizeof(QSS_SERVICE_REPLY); break;
    case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK:
    case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE_ACK:
    case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK:
    case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM_ACK: expected = sizeof(QSS_STATUS_REPLY); break;
    case ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK: expected = sizeof(QSS_KEEPALIVE_REPLY); break;
    case ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE_ACK: expected = sizeof(QSS_QUERY_INSTANCE_REPLY); break;
    default: Fail("reply of no reply type");
    }
    if ((size_t)size != expected) Fail("reply size does not fit its type");
}

void DrainReplies(const Sockets& s, bool check)
{
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    for (int i = 0; i < kPeers; ++i) {
        for (;;) {
            ssize_t size = recv(s.peer[i], reply, sizeof(reply), MSG_DONTWAIT);
            if (size < 0) break;
            if (check) CheckReply(reply, size);
        }
    }
}

// The server thread's turn for one received datagram, as from the given peer.
void Receive(const Sockets& s, int peer, const BYTE* bytes, size_t size, bool seal)
{
    // The receive buffer: a datagram above its size never reaches the checks.
    if (size > QSS_MAX_PACKET_SIZE) return;
    BYTE buffer[QSS_MAX_PACKET_SIZE] = {};
    std::memcpy(buffer, bytes, size);
    if (seal && size >= QSS_PACKET_HEADER_SIZE) {
        QSS_PACKET_HEADER* header = (QSS_PACKET_HEADER*)buffer;
        header->length = (uint32_t)size;
        header->checksum = 0;
        header->checksum = qssChecksum(buffer, size);
    }
    SOCKADDR_IN source = s.peerAddress[peer];
    qssProcessDatagram(buffer, (int)size, &source, (SOCKET)s.receive);
}

// What must hold between any two datagrams: never two holders of one PVM,
// and the count of instances with an online AM that the service queries report.
void CheckInstances()
{
    EnterCriticalSection(&qssInstanceLock);
    DWORD active = 0;
    for (const QSS_INSTANCE* record = qssInstanceList; record; record = record->pNext) {
        if (record->am[0].bHold && record->am[1].bHold) Fail("both AMs of a PVM hold the quorum");
        active += record->am[0].bOnline || record->am[1].bOnline;
    }
    if (active != qssServerInfo.activeInstanceCount) Fail("activeInstanceCount differs from the online instances");
    LeaveCriticalSection(&qssInstanceLock);
}

// A record as the seed requests left it, and which of its timers were armed.
struct SeededRecord {
    QSS_INSTANCE record;
    bool keepaliveArmed[2];
    bool quorumArmed;
};

// The server as the seed requests left it.
struct Seeded {
    std::vector<SeededRecord> records;  // oldest first
    DWORD activeInstanceCount;
    DWORD tick;
    dvfuzz::MemoryRegistry registry;
};

// A copy of the seeded record in the table, with its timers armed again and
// its ticks moved by shift: the clock only runs forward, so that the table's
// ageing never sees it wrap.
void RestoreRecord(const SeededRecord& seeded, DWORD shift)
{
    DWORD status = 0;
    QSS_INSTANCE* record = qssNewInstance(seeded.record.pvmId, &status);
    if (!record) Fail("cannot restore a seeded record");
    record->protocolRevision = seeded.record.protocolRevision;
    record->instanceTimeout = seeded.record.instanceTimeout;
    record->systemTimeAcquired = seeded.record.systemTimeAcquired;
    for (int i = 0; i < 2; ++i) {
        QSS_AM_INFO& slot = record->am[i];
        slot = seeded.record.am[i];
        slot.pInstance = record;
        slot.hInstanceTimeout = NULL;
        slot.pInstanceTimeoutTicket = NULL;
        if (seeded.keepaliveArmed[i]) qssResetKeepaliveTimeoutTimer(&slot);
        slot.lastKeepaliveTick = seeded.record.am[i].lastKeepaliveTick + shift;
    }
    if (seeded.quorumArmed && !qssArmInstanceTimer(record, record, qssQuorumTimeoutCallback, dvfuzz::kSeedTimeout,
                                                   &record->hQuorumTimeout, &record->pQuorumTimeoutTicket))
        Fail("cannot arm a seeded quorum timer");
    qssReviewInstanceAgeing(record);
}

void Restore(const Seeded& seeded)
{
    EnterCriticalSection(&qssInstanceLock);
    for (const SeededRecord& record : seeded.records) RestoreRecord(record, fuzzTick - seeded.tick);
    qssServerInfo.activeInstanceCount = seeded.activeInstanceCount;
    if (dvfuzz::RegistryChanged()) {
        dvfuzz::Registry() = seeded.registry;
        dvfuzz::ForgetChanges();
    }
    LeaveCriticalSection(&qssInstanceLock);
}

const Seeded& Seed(const Sockets& s)
{
    static const Seeded seeded = [&] {
        for (const dvfuzz::SeedRequest& seed : dvfuzz::SeedRequests()) {
            Receive(s, seed.peer, seed.bytes.data(), seed.bytes.size(), false);
        }
        DrainReplies(s, true);
        Seeded taken;
        EnterCriticalSection(&qssInstanceLock);
        for (const QSS_INSTANCE* record = qssInstanceList; record; record = record->pNext) {
            taken.records.insert(taken.records.begin(),
                                 {*record,
                                  {record->am[0].hInstanceTimeout != NULL, record->am[1].hInstanceTimeout != NULL},
                                  record->hQuorumTimeout != NULL});
        }
        taken.activeInstanceCount = qssServerInfo.activeInstanceCount;
        taken.tick = fuzzTick;
        taken.registry = dvfuzz::Registry();
        LeaveCriticalSection(&qssInstanceLock);
        return taken;
    }();
    return seeded;
}

// Deletes every armed timer. False when a callback may still be under way.
bool DisarmAllTimers()
{
    EnterCriticalSection(&qssInstanceLock);
    bool quiet = true;
    for (QSS_INSTANCE* record = qssInstanceList; record; record = record->pNext) {
        for (QSS_AM_INFO& slot : record->am) {
            if (slot.hInstanceTimeout)
                qssDisarmInstanceTimer(record, &slot.hInstanceTimeout, &slot.pInstanceTimeoutTicket);
        }
        if (record->hQuorumTimeout) qssDisarmInstanceTimer(record, &record->hQuorumTimeout, &record->pQuorumTimeoutTicket);
        if (qssInstanceTimersPending(record)) quiet = false;
    }
    LeaveCriticalSection(&qssInstanceLock);
    return quiet;
}

// Ends every timer, checks what was sent, and goes back to the seeded server.
// Only when a timer's callback may still run does the timer queue have to be
// replaced (its deletion waits for the callbacks).
void Reset(const Sockets& s, const Seeded& seeded)
{
    if (!DisarmAllTimers()) {
        if (!DeleteTimerQueueEx(qssHTimerQueue, INVALID_HANDLE_VALUE)) Fail("DeleteTimerQueueEx failed");
        qssHTimerQueue = CreateTimerQueue();
        if (!qssHTimerQueue) Fail("CreateTimerQueue failed");
    }
    DrainReplies(s, true);
    qssDeleteAllInstances();
    Restore(seeded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Sockets s = StartServer();
    const Seeded& seeded = Seed(s);
    uint8_t options = size ? data[0] : 0;
    qssRequireIncreasingSequences = (options & 0x04) ? 1 : 0;
    qssAllowedPeers = (options & 0x08) ? s.peersButTheStranger : QSS_PEER_FILTER{};

    size_t pos = 0;
    while (pos + 3 <= size) {
        uint8_t flags = data[pos];
        size_t length = data[pos + 1] | (size_t)data[pos + 2] << 8;
        pos += 3;
        if (length > size - pos) length = size - pos;
        // A turn of the server thread: ageing, then the datagram.
        fuzzTick += (flags & 0x40) ? qssInstanceRetainTime + 1 : 1;
        qssUnusedInstanceCollection();
        Receive(s, (flags & 3) % kPeers, data + pos, length, (flags & 0x80) != 0);
        CheckInstances();
        pos += length;
    }
    Reset(s, seeded);
    return 0;
}
