// The request flows of the scenarios. Each is driven by the caller's loop:
// Tick sends what is due, OnReply takes the replies of its packet type.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "load_net.h"
#include "qsinstance.h"

struct LatencyLog {
    std::vector<uint32_t> micros;
    void Add(uint64_t ns) { micros.push_back((uint32_t)(ns / 1000)); }
    // The q-quantile (0..1) in microseconds; 0 when empty.
    uint32_t Percentile(double q);
};

// KEEPALIVE from every peer in turn: either `window` requests always in flight
// (closed loop) or `rate` requests per second (open loop). A request not
// answered within the timeout (or still open when its slot comes round again
// in the open loop) counts as lost.
struct KeepaliveFlow {
    LoadNet* net = nullptr;
    const QS_TARGET* target = nullptr;
    uint32_t peers = 0;
    bool closedLoop = true;
    uint32_t window = 128;
    double rate = 0;
    uint64_t timeoutNs = 1000000000ull;

    struct Slot {
        uint64_t sequence;
        uint64_t sentNs;
        uint32_t peer;
        bool open;
    };
    std::vector<Slot> slots;
    uint64_t counter = 0;
    uint32_t nextPeer = 0;
    uint64_t startNs = 0;
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t lost = 0;
    uint64_t notAttached = 0; // status 2: the server timed this peer out
    uint64_t otherStatus = 0;
    std::vector<uint8_t> peerTimedOut;
    LatencyLog latency;
};

void KeepaliveStart(KeepaliveFlow* flow, uint64_t now);
void KeepaliveTick(KeepaliveFlow* flow, uint64_t now);
void KeepaliveOnReply(KeepaliveFlow* flow, const LoadReply& reply, uint64_t now);
// Counts every request still open as lost; the flow sends nothing more.
void KeepaliveFinish(KeepaliveFlow* flow);
uint64_t KeepaliveOpen(const KeepaliveFlow* flow);

// One request per peer (ATTACH_INSTANCE, ACQUIRE_QUORUM or RELEASE_QUORUM), at
// most `window` in flight, each resent with its own sequence until it is
// answered. Each cycle of a repeated flow has sequences of its own, so that the
// server never takes a request of a new cycle for a retransmission.
struct BatchFlow {
    LoadNet* net = nullptr;
    const QS_TARGET* target = nullptr;
    uint32_t peers = 0;
    uint32_t packetType = ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE;
    uint32_t window = 128;
    uint64_t resendNs = 2000000000ull;
    uint32_t keepaliveInterval = 1000; // attach
    uint32_t instanceTimeout = 60000;  // attach
    uint32_t quorumTimeout = 10000;    // acquire
    uint32_t cycle = 0;
    std::vector<uint8_t> skip; // peers that send nothing this time (empty: none)

    std::vector<uint32_t> status; // per peer; kNoReply until answered
    std::vector<uint64_t> firstSentNs;
    std::deque<std::pair<uint32_t, uint64_t>> inFlight; // peer, last sent
    uint32_t nextPeer = 0;
    uint32_t open = 0; // sent, not yet answered
    uint32_t answered = 0;
    uint64_t resent = 0;
    uint64_t startNs = 0;
    uint64_t lastAnswerNs = 0;
    LatencyLog latency;
};

const uint32_t kNoReply = 0xFFFFFFFF;

void BatchStart(BatchFlow* flow, uint64_t now);
void BatchTick(BatchFlow* flow, uint64_t now);
void BatchOnReply(BatchFlow* flow, const LoadReply& reply, uint64_t now);
inline bool BatchDone(const BatchFlow* flow) { return flow->answered == flow->peers; }

// The health an AM asks with in a failover: AM1 wins for odd PVMs, AM2 for even ones.
uint64_t FailoverHealth(uint32_t peer);
