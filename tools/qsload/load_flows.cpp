#include "load_flows.h"

#include <algorithm>
#include <cstring>

#include "qsquorum.h"

namespace {

// Keepalive sequences carry their slot in the low bits; batch sequences are
// the peer number above a per-type base, far above any keepalive sequence.
const unsigned kSlotBits = 22;
const uint64_t kAttachBase = 0xA000000000000000ull;
const uint64_t kAcquireBase = 0xB000000000000000ull;
const uint64_t kReleaseBase = 0xC000000000000000ull;

uint64_t BatchSequence(const BatchFlow* flow, uint32_t peer)
{
    uint64_t base = flow->packetType == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE ? kAttachBase
                    : flow->packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM ? kAcquireBase
                                                                                : kReleaseBase;
    return base + ((uint64_t)flow->cycle << 32) + peer;
}

void SendKeepalive(KeepaliveFlow* flow, uint32_t slotIndex, uint64_t now)
{
    KeepaliveFlow::Slot& slot = flow->slots[slotIndex];
    slot.sequence = (++flow->counter << kSlotBits) | slotIndex;
    slot.sentNs = now;
    slot.peer = flow->nextPeer;
    slot.open = true;
    flow->nextPeer = (flow->nextPeer + 1) % flow->peers;
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    char amId[40];
    LoadPvmId(LoadPeerPvm(slot.peer), pvmId);
    LoadAmId(slot.peer, amId, sizeof amId);
    QSS_AM_REQUEST request;
    QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_KEEPALIVE, slot.sequence, pvmId, LoadPeerAm(slot.peer),
                     flow->target, amId);
    LoadSend(flow->net, slot.peer, &request, sizeof request);
    ++flow->sent;
}

void SendBatchRequest(BatchFlow* flow, uint32_t peer)
{
    uint8_t pvmId[QSS_PVM_ID_SIZE];
    char amId[40];
    LoadPvmId(LoadPeerPvm(peer), pvmId);
    LoadAmId(peer, amId, sizeof amId);
    if (flow->packetType == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE) {
        QSS_ATTACH_INSTANCE_REQUEST request;
        QsBuildAttachInstance(&request, BatchSequence(flow, peer), pvmId, LoadPeerAm(peer), flow->keepaliveInterval,
                              flow->instanceTimeout, flow->target, amId);
        LoadSend(flow->net, peer, &request, sizeof request);
    } else if (flow->packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM) {
        QSS_ACQUIRE_QUORUM_REQUEST request;
        QsBuildAcquireQuorum(&request, BatchSequence(flow, peer), pvmId, LoadPeerAm(peer), flow->quorumTimeout,
                             FailoverHealth(peer), flow->target, amId);
        LoadSend(flow->net, peer, &request, sizeof request);
    } else {
        QSS_AM_REQUEST request;
        QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, BatchSequence(flow, peer), pvmId,
                         LoadPeerAm(peer), flow->target, amId);
        LoadSend(flow->net, peer, &request, sizeof request);
    }
}

}  // namespace

uint32_t LatencyLog::Percentile(double q)
{
    if (micros.empty()) return 0;
    size_t rank = std::min(micros.size() - 1, (size_t)(q * (double)micros.size()));
    std::nth_element(micros.begin(), micros.begin() + (ptrdiff_t)rank, micros.end());
    return micros[rank];
}

uint64_t FailoverHealth(uint32_t peer)
{
    bool am1Wins = LoadPeerPvm(peer) % 2 == 1;
    bool isAm1 = LoadPeerAm(peer) == 1;
    return (am1Wins == isAm1) ? 200 : 100;
}

void KeepaliveStart(KeepaliveFlow* flow, uint64_t now)
{
    size_t capacity = 1024;
    size_t needed = flow->closedLoop ? flow->window : (size_t)(flow->rate * 2.0 * (double)flow->timeoutNs / 1e9);
    while (capacity < needed && capacity < (1u << kSlotBits)) capacity *= 2;
    flow->slots.assign(capacity, KeepaliveFlow::Slot{0, 0, 0, false});
    flow->peerTimedOut.assign(flow->peers, 0);
    flow->startNs = now;
    if (flow->closedLoop) {
        for (uint32_t w = 0; w < flow->window && w < capacity; ++w) SendKeepalive(flow, w, now);
    }
}

void KeepaliveTick(KeepaliveFlow* flow, uint64_t now)
{
    size_t mask = flow->slots.size() - 1;
    if (flow->closedLoop) {
        for (uint32_t w = 0; w < flow->window && w <= mask; ++w) {
            if (flow->slots[w].open && now - flow->slots[w].sentNs > flow->timeoutNs) {
                ++flow->lost;
                SendKeepalive(flow, w, now);
            }
        }
        return;
    }
    uint64_t due = (uint64_t)((double)(now - flow->startNs) * flow->rate / 1e9);
    while (flow->sent < due) {
        uint32_t slot = (uint32_t)(flow->counter + 1) & (uint32_t)mask;
        if (flow->slots[slot].open) ++flow->lost;
        SendKeepalive(flow, slot, now);
    }
}

void KeepaliveOnReply(KeepaliveFlow* flow, const LoadReply& reply, uint64_t now)
{
    uint64_t sequence = reply.header->sequence;
    uint32_t slotIndex = (uint32_t)(sequence & ((1u << kSlotBits) - 1));
    if (slotIndex >= flow->slots.size()) return;
    KeepaliveFlow::Slot& slot = flow->slots[slotIndex];
    if (!slot.open || slot.sequence != sequence) return;
    slot.open = false;
    ++flow->answered;
    flow->latency.Add(now - slot.sentNs);
    if (reply.status == ZEL_K_QS_STATUS_NOT_ATTACHED) {
        ++flow->notAttached;
        flow->peerTimedOut[slot.peer] = 1;
    } else if (reply.status != ZEL_K_QS_STATUS_SUCCESS) {
        ++flow->otherStatus;
    }
    if (flow->closedLoop && flow->window) SendKeepalive(flow, slotIndex, now);
}

void KeepaliveFinish(KeepaliveFlow* flow)
{
    flow->lost += KeepaliveOpen(flow);
    for (KeepaliveFlow::Slot& slot : flow->slots) slot.open = false;
    flow->window = 0;
}

uint64_t KeepaliveOpen(const KeepaliveFlow* flow)
{
    uint64_t open = 0;
    for (const KeepaliveFlow::Slot& slot : flow->slots) open += slot.open ? 1 : 0;
    return open;
}

void BatchStart(BatchFlow* flow, uint64_t now)
{
    flow->status.assign(flow->peers, kNoReply);
    flow->firstSentNs.assign(flow->peers, 0);
    for (uint32_t peer = 0; peer < flow->skip.size() && peer < flow->peers; ++peer) {
        if (!flow->skip[peer]) continue;
        flow->status[peer] = ZEL_K_QS_STATUS_SUCCESS;
        ++flow->answered;
    }
    flow->startNs = now;
    flow->lastAnswerNs = now;
    BatchTick(flow, now);
}

void BatchTick(BatchFlow* flow, uint64_t now)
{
    // Requests leave in send order, so only the oldest ones can be due for a resend.
    while (!flow->inFlight.empty()) {
        auto [peer, sentNs] = flow->inFlight.front();
        if (flow->status[peer] != kNoReply) {
            flow->inFlight.pop_front();
            continue;
        }
        if (now - sentNs < flow->resendNs) break;
        flow->inFlight.pop_front();
        SendBatchRequest(flow, peer);
        ++flow->resent;
        flow->inFlight.emplace_back(peer, now);
    }
    while (flow->nextPeer < flow->peers && flow->open < flow->window) {
        uint32_t peer = flow->nextPeer++;
        if (flow->status[peer] != kNoReply) continue;
        flow->firstSentNs[peer] = now;
        ++flow->open;
        SendBatchRequest(flow, peer);
        flow->inFlight.emplace_back(peer, now);
    }
}

void BatchOnReply(BatchFlow* flow, const LoadReply& reply, uint64_t now)
{
    uint64_t peer = reply.header->sequence - BatchSequence(flow, 0);
    if (peer >= flow->peers || flow->status[peer] != kNoReply) return;
    flow->status[peer] = reply.status;
    --flow->open;
    ++flow->answered;
    flow->lastAnswerNs = now;
    flow->latency.Add(now - flow->firstSentNs[peer]);
}
