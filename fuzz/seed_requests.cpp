#include "seed_requests.h"

#include <cstring>

#include "Qss/net/packet.h"

namespace dvfuzz {
namespace {

struct Builder {
    std::vector<SeedRequest> requests;
    ULONGLONG sequence = 1000;

    template <typename Request>
    Request Start(uint32_t type, uint8_t pvm, uint32_t amNumber)
    {
        Request r;
        std::memset(&r, 0, sizeof(r));
        r.header.protocolRevision = QSS_PROTOCOL_REVISION;
        r.header.length = sizeof(r);
        r.header.signature = QSS_PACKET_SIGNATURE;
        r.header.packetType = type;
        r.header.srcComponentId = QSS_COMPONENT_ID_AM;
        r.header.dstComponentId = QSS_COMPONENT_ID_QS;
        r.header.sequence = ++sequence;
        std::memset(r.pvmId, pvm, sizeof(r.pvmId));
        std::strcpy(r.serverIdentity.hostName, kHostName);
        std::strcpy(r.serverIdentity.serverId, kServerId);
        if constexpr (requires { r.amNumber; }) r.amNumber = amNumber;
        if constexpr (requires { r.amId; }) {
            std::strcpy(r.amId, amNumber == 1 ? "a1a1a1a1-0000-4000-8000-000000000001"
                                              : "a2a2a2a2-0000-4000-8000-000000000002");
        }
        return r;
    }

    template <typename Request>
    void Send(uint32_t amNumber, Request r)
    {
        r.header.checksum = qssChecksum(&r, sizeof(r));
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&r);
        requests.push_back({(int)amNumber - 1, std::vector<uint8_t>(bytes, bytes + sizeof(r))});
    }

    void Attach(uint8_t pvm, uint32_t amNumber)
    {
        auto r = Start<QSS_ATTACH_INSTANCE_REQUEST>(ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE, pvm, amNumber);
        r.keepaliveInterval = 1000;
        r.instanceTimeout = kSeedTimeout;
        Send(amNumber, r);
    }

    void Acquire(uint8_t pvm, uint32_t amNumber, ULONGLONG health)
    {
        auto r = Start<QSS_ACQUIRE_QUORUM_REQUEST>(ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM, pvm, amNumber);
        r.quorumTimeout = kSeedTimeout;
        r.health = health;
        Send(amNumber, r);
    }

};

std::vector<SeedRequest> Build()
{
    Builder b;
    // PVM 11..11: both peers attached.
    b.Attach(0x11, 1);
    b.Attach(0x11, 2);
    // PVM 22..22: AM1 won a contest and holds the quorum.
    b.Attach(0x22, 1);
    b.Attach(0x22, 2);
    b.Acquire(0x22, 1, 9);
    b.Acquire(0x22, 2, 3);
    // PVM 33..33: AM2 votes, its window still open.
    b.Attach(0x33, 1);
    b.Attach(0x33, 2);
    b.Acquire(0x33, 2, 5);
    // PVM 44..44: only AM2 attached.
    b.Attach(0x44, 2);
    return b.requests;
}

}  // namespace

const std::vector<SeedRequest>& SeedRequests()
{
    static const std::vector<SeedRequest> requests = Build();
    return requests;
}

}  // namespace dvfuzz
