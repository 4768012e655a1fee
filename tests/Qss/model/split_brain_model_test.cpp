// A randomized check of the quorum's safety rule against the real dorvane
// program in console mode: many PVMs with two simulated peers each send random
// attach, detach, keepalive, query, acquire and release requests over loopback
// UDP, with datagrams lost and doubled on the peers' side, while the server is
// killed with SIGKILL at random moments and restarted on the same state folder.
// With RequireIncreasingSequences on, late copies of the peers' earlier
// requests are delivered too; without it they are not, since the
// retransmission rule alone takes such a copy for a new request (a late
// RELEASE_QUORUM undoes a later grant: the known limit the rule closes).
//
// Every reply is checked against a reference model of the request rules kept
// here. The server handles datagrams one at a time in arrival order, and one
// thread sends them all to one socket, so the model applies each request when
// it is sent. Lone votes with a short window are decided by the server's timer;
// no other request of that PVM is sent until the decision has been seen, so
// the model never has to guess. A kill leaves only the persisted quorum
// holders, which are read from the registry before the restart and checked
// against what the peers were told.
//
// A winner's ACK leaves once its grant is durable, in no fixed order with the
// winner's other replies. From time to time the registry's flush is held
// (the fault switch's hold file) while requests go on and grants wait for the
// disk, and the server is killed or the flush released.
//
// The run prints its seed on failure; DORVANE_MODEL_SEED repeats a run (the
// random choices repeat; what a kill interrupts depends on timing) and
// DORVANE_MODEL_STEPS changes its length.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Qss/config/pvm_id.h"
#include "Qss/config/registry_store.h"
#include "Qss/service/program.h"
#include "qsinstance.h"
#include "qsquorum.h"
#include "support/am_client.h"
#include "support/scoped_env.h"

namespace dvtest {
namespace {

constexpr int kPvmCount = 24;
constexpr DWORD kLongTimeout = 900000;  // no peer times out and no vote closes by itself during a run
constexpr DWORD kLongWindow = 900000;
constexpr auto kRetransmitAfter = std::chrono::milliseconds(10);
// How long a peer resends before it concludes that the server stopped answering.
constexpr auto kAnswerDeadline = std::chrono::seconds(15);
constexpr uint32_t kNoHolder = 0;
// The value a grant writes last.
const char kLastPersistedValue[] = "AM2 Keepalive Interval";
constexpr const char* kPersistentStates = "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Persistent States";

unsigned long long EnvNumber(const char* name, unsigned long long fallback)
{
    const char* text = getenv(name);
    return text && *text ? strtoull(text, nullptr, 0) : fallback;
}

// The server's view of one AM slot as the model predicts it.
struct ModelSlot {
    bool online = false;
    bool hold = false;
    bool voting = false;
    ULONGLONG health = 0;
    ULONGLONG acquireSequence = 0;
    uint32_t lastType = 0;  // 0: no reply kept
    ULONGLONG lastSequence = 0;
    uint32_t lastStatus = 0;
    bool accepted = false;  // a request was handled since the record was made
    ULONGLONG acceptedSequence = 0;
};

struct ModelRecord {
    bool exists = false;
    ModelSlot am[2];
    int shortVoter = 0;  // AM number whose lone vote the server's timer will decide
};

// A reply the server must send to a peer.
struct Expectation {
    uint32_t type;
    ULONGLONG sequence;
    uint32_t status;
    bool decidesShortVote = false;
    bool query = false;
    bool late = false;  // answers a late copy, which the peer no longer waits for
    uint8_t known = 0, online1 = 0, hold1 = 0, online2 = 0, hold2 = 0;
};

struct Peer {
    int pvm = 0;
    uint32_t number = 1;
    SOCKET sock = INVALID_SOCKET;
    ULONGLONG nextSequence = 1;
    std::deque<Expectation> expected;
    // The request the peer waits on, resent as it is until answered.
    std::vector<BYTE> request;
    bool answered = true;
    bool mustResend = false;  // its last copy was lost, or the reply to it
    // What the server has told this peer: a grant not released since.
    bool told = false;
    bool releaseInFlight = false;
    std::optional<Expectation> grantAck;  // a contest won, answered once durable
    ULONGLONG grantedSequence = 0;        // its copies may follow, resent for retransmissions
    // Its earlier requests (attaches left out), of which a late copy may arrive.
    std::deque<std::vector<BYTE>> earlier;
};

struct Counts {
    unsigned long transmissions = 0, dropped = 0, doubled = 0, repliesLost = 0, replies = 0;
    unsigned long grants = 0, contests = 0, releases = 0, restarts = 0, killsInFlight = 0, restoredHolders = 0;
    unsigned long incompleteKeysRemoved = 0, holds = 0, killsWithGrantsWaiting = 0;
        unsigned long lateCopies = 0, staleDropped = 0;
};

class SplitBrainModelTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        seed_ = EnvNumber("DORVANE_MODEL_SEED", std::random_device{}());
        steps_ = EnvNumber("DORVANE_MODEL_STEPS", 2000);
        rng_.seed(seed_);
        ASSERT_EQ(Install().exitCode, 0);
        if (increasingSequences_) {
            ASSERT_TRUE(Qss_RegSetDWORD("RequireIncreasingSequences", 1));
        }
        StartServer();
        ASSERT_FALSE(HasFailure());
        QSS_SERVICE_REPLY info;
        ASSERT_TRUE(Answers(&info));
        memcpy(target_.hostName, info.serverInfo.hostName, sizeof(target_.hostName));
        memcpy(target_.serverId, info.serverInfo.serverId, sizeof(target_.serverId));
        for (int p = 0; p < kPvmCount; ++p) {
            pvms_.push_back(MakePvmId(1000 + p));
            records_.emplace_back();
            for (uint32_t n = 1; n <= 2; ++n) {
                Peer peer;
                peer.pvm = p;
                peer.number = n;
                peer.sock = QsOpenSocket("127.0.0.1");
                ASSERT_NE(peer.sock, INVALID_SOCKET);
                peers_.push_back(std::move(peer));
            }
        }
        server_.sin_family = AF_INET;
        server_.sin_port = htons(port_);
        server_.sin_addr.s_addr = inet_addr("127.0.0.1");
    }

    void TearDown() override
    {
        if (process_) {
            CheckServerOutput();
            process_.reset();
        }
        for (Peer& peer : peers_) closesocket(peer.sock);
        ProgramTest::TearDown();
    }

    // Stops the run at the first divergence, with everything needed to repeat it.
    void Diverge(const std::string& what)
    {
        if (!failure_.empty()) return;
        std::ostringstream text;
        text << what << "\n  at step " << step_ << " of " << steps_ << ", after " << counts_.restarts
             << " restarts; repeat with DORVANE_MODEL_SEED=" << seed_;
        failure_ = text.str();
        ADD_FAILURE() << failure_;
    }

    bool Failed() const { return !failure_.empty(); }

    Peer& PeerOf(int pvm, uint32_t number) { return peers_[pvm * 2 + (number - 1)]; }
    ModelSlot& Slot(const Peer& peer) { return records_[peer.pvm].am[peer.number - 1]; }
    ModelSlot& PartnerSlot(const Peer& peer) { return records_[peer.pvm].am[2 - peer.number]; }

    std::string Describe(const Peer& peer) const
    {
        char guid[QSS_GUID_STRING_SIZE] = {};
        Qss_PvmIdToGuidString(pvms_[peer.pvm].bytes, sizeof(guid), guid);
        return "PVM " + std::to_string(peer.pvm) + " {" + guid + "} AM" + std::to_string(peer.number);
    }

    // ---- the server process ----

    void StartServer()
    {
        process_ = std::make_unique<DorvaneProcess>(std::vector<std::string>{"-debug_errors"});
        if (!EventuallyAnswers()) Diverge("the server did not answer after its start:\n" + process_->Output());
    }

    void CheckServerOutput()
    {
        std::string output = process_->Output();
        for (const char* mark : {"Sanitizer", "runtime error"}) {
            if (output.find(mark) != std::string::npos) Diverge("the server reported a fault:\n" + output);
        }
    }

    // ---- the reference model of the request rules ----

    enum SlotState { kResend, kOffline, kOfflineHolding, kOnline, kOnlineHolding, kOnlineVoting };

    static SlotState Classify(const ModelSlot& slot, ULONGLONG sequence, uint32_t replyType)
    {
        if (slot.lastType == replyType && slot.lastSequence == sequence) return kResend;
        if (!slot.online) return slot.hold ? kOfflineHolding : kOffline;
        if (slot.voting) return kOnlineVoting;
        return slot.hold ? kOnlineHolding : kOnline;
    }

    static void Keep(ModelSlot& slot, uint32_t type, ULONGLONG sequence, uint32_t status)
    {
        slot.lastType = type;
        slot.lastSequence = sequence;
        slot.lastStatus = status;
    }

    // Applies one request as the server will handle it; the reply it must send,
    // none when it sends none.
    std::optional<Expectation> Apply(Peer& peer, const std::vector<BYTE>& datagram)
    {
        const QSS_PACKET_HEADER* header = reinterpret_cast<const QSS_PACKET_HEADER*>(datagram.data());
        uint32_t type = header->packetType;
        uint32_t replyType = type + 1;
        ULONGLONG sequence = header->sequence;
        Expectation reply{replyType, sequence, ZEL_K_QS_STATUS_SUCCESS};
        if ((header->protocolRevision & 0xFFFF) != 0) return std::nullopt;
        ModelRecord& record = records_[peer.pvm];
        if (type == ZEL_K_QS_PACKET_TYPE_QUERY_INSTANCE) {
            const auto* query = reinterpret_cast<const QSS_QUERY_INSTANCE_REQUEST*>(datagram.data());
            if (strcmp(query->serverIdentity.serverId, target_.serverId) != 0) {
                reply.status = ZEL_K_QS_STATUS_WRONG_SERVER;
                return reply;
            }
            reply.query = true;
            if (!record.exists || !(record.am[0].online || record.am[1].online)) {
                reply.status = ZEL_K_QS_STATUS_NOT_ATTACHED;
                return reply;
            }
            reply.known = 1;
            reply.online1 = record.am[0].online;
            reply.hold1 = record.am[0].hold;
            reply.online2 = record.am[1].online;
            reply.hold2 = record.am[1].hold;
            return reply;
        }
        uint32_t amNumber = reinterpret_cast<const QSS_AM_REQUEST*>(datagram.data())->amNumber;
        if (amNumber != 1 && amNumber != 2) {
            reply.status = ZEL_K_QS_STATUS_INVALID_AM_NUMBER;
            return reply;
        }
        const QSS_TARGET_SERVER* named = reinterpret_cast<const QSS_TARGET_SERVER*>(
            datagram.data() + (type == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE    ? 84
                               : type == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM ? 88
                                                                              : 76));
        if (strcmp(named->serverId, target_.serverId) != 0) {
            reply.status = ZEL_K_QS_STATUS_WRONG_SERVER;
            return reply;
        }
        if (!record.exists && type != ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE) {
            reply.status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            return reply;
        }
        record.exists = true;
        ModelSlot& slot = Slot(peer);
        ModelSlot& partner = PartnerSlot(peer);
        SlotState state = Classify(slot, sequence, replyType);
        // Retransmitted while its grant waits for the disk: silence, or the ACK once durable.
        if (state == kResend && peer.grantAck && peer.grantAck->sequence == sequence) return std::nullopt;
        if (state == kResend) {
            reply.status = slot.lastStatus;
            return reply;
        }
        // An attach that brings the AM online starts its numbering again.
        bool freshAttach = type == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE && (state == kOffline || state == kOfflineHolding);
        if (increasingSequences_ && !freshAttach && slot.accepted && sequence < slot.acceptedSequence) {
            ++counts_.staleDropped;
            return std::nullopt;
        }
        slot.accepted = true;
        slot.acceptedSequence = sequence;
        switch (type) {
        case ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE:
            if (state == kOnlineVoting) {
                reply.status = ZEL_K_QS_STATUS_VOTING;
            } else if (state == kOffline || state == kOfflineHolding) {
                slot.online = true;
                slot.voting = false;
            }
            break;
        case ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE:
            if (state == kOnlineVoting) {
                reply.status = ZEL_K_QS_STATUS_VOTING;
            } else if (state == kOffline || state == kOfflineHolding) {
                reply.status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            } else {
                slot.online = false;
            }
            break;
        case ZEL_K_QS_PACKET_TYPE_KEEPALIVE:
            if (state == kOffline || state == kOfflineHolding) {
                reply.status = ZEL_K_QS_STATUS_NOT_ATTACHED;
                return reply;  // refusals of a keepalive are not kept
            }
            break;
        case ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM:
            if (state == kOffline || state == kOfflineHolding) {
                reply.status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            } else if (state == kOnline) {
                reply.status = ZEL_K_QS_STATUS_NOT_HOLDING;
            } else if (state == kOnlineVoting) {
                reply.status = ZEL_K_QS_STATUS_VOTING;
            } else {
                slot.hold = false;
                peer.releaseInFlight = true;
            }
            break;
        case ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM: {
            const auto* acquire = reinterpret_cast<const QSS_ACQUIRE_QUORUM_REQUEST*>(datagram.data());
            if (state == kOffline || state == kOfflineHolding) {
                reply.status = ZEL_K_QS_STATUS_NOT_ATTACHED;
            } else if (state == kOnlineHolding) {
                reply.status = ZEL_K_QS_STATUS_ALREADY_HOLDING;
            } else if (state == kOnlineVoting) {
                if (sequence == slot.acquireSequence) return std::nullopt;  // the decision answers it
                reply.status = ZEL_K_QS_STATUS_VOTING;
            } else if (partner.hold) {
                reply.status = ZEL_K_QS_STATUS_QUORUM_DENIED;
            } else {
                slot.voting = true;
                slot.health = acquire->health;
                slot.acquireSequence = sequence;
                if (partner.voting) {
                    Decide(peer);
                } else {
                    partner.health = 0;
                    if (acquire->quorumTimeout != kLongWindow) {
                        record.shortVoter = (int)peer.number;
                        Expectation deferred{ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK, sequence,
                                             ZEL_K_QS_STATUS_SUCCESS};
                        deferred.decidesShortVote = true;
                        peer.expected.push_back(deferred);
                    }
                }
                return std::nullopt;
            }
            break;
        }
        default:
            break;
        }
        Keep(slot, replyType, sequence, reply.status);
        return reply;
    }

    // Both AMs of the peer's PVM vote: the higher health wins, AM1 on a tie.
    void Decide(Peer& asker)
    {
        ModelRecord& record = records_[asker.pvm];
        int winner = record.am[0].health >= record.am[1].health ? 0 : 1;
        for (int i = 0; i < 2; ++i) {
            ModelSlot& slot = record.am[i];
            uint32_t status = i == winner ? ZEL_K_QS_STATUS_SUCCESS : ZEL_K_QS_STATUS_QUORUM_DENIED;
            slot.hold = i == winner;
            slot.voting = false;
            Keep(slot, ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK, slot.acquireSequence, status);
            Peer& peer = PeerOf(asker.pvm, i + 1);
            Expectation ack{ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK, slot.acquireSequence, status};
            if (i == winner) {
                peer.grantAck = ack;
                peer.grantedSequence = ack.sequence;
            } else {
                peer.expected.push_back(ack);
            }
        }
        ++counts_.contests;
    }

    // The server's timer has decided a lone vote.
    void DecideShortVote(Peer& voter)
    {
        ModelRecord& record = records_[voter.pvm];
        ModelSlot& slot = Slot(voter);
        record.shortVoter = 0;
        slot.hold = true;
        slot.voting = false;
        Keep(slot, ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK, slot.acquireSequence, ZEL_K_QS_STATUS_SUCCESS);
    }

    // ---- the peers' side of the wire ----

    // Sends the peer's request once (or not at all, or twice), each copy applied to the model.
    void Transmit(Peer& peer)
    {
        ++counts_.transmissions;
        peer.mustResend = false;
        if (Chance(6)) {
            ++counts_.dropped;
            peer.mustResend = true;
            return;
        }
        int copies = Chance(6) ? 2 : 1;
        if (copies == 2) ++counts_.doubled;
        for (int i = 0; i < copies; ++i) {
            if (std::optional<Expectation> reply = Apply(peer, peer.request)) peer.expected.push_back(*reply);
            QsSend(peer.sock, &server_, peer.request.data(), (int)peer.request.size());
            // A second copy would race the timer that decides a lone short vote.
            if (ShortVotePending(peer)) break;
        }
    }

    bool ShortVotePending(const Peer& peer) const { return records_[peer.pvm].shortVoter == (int)peer.number; }

    // Whether the peer still waits for an answer: it lost its request or the
    // reply, or the model says a reply to it is due.
    bool AwaitsAnswer(const Peer& peer) const
    {
        if (peer.answered) return false;
        if (peer.mustResend) return true;
        const QSS_PACKET_HEADER* header = reinterpret_cast<const QSS_PACKET_HEADER*>(peer.request.data());
        for (const Expectation& e : peer.expected) {
            if (e.type == header->packetType + 1 && e.sequence == header->sequence) return true;
        }
        return peer.grantAck && !flushHeld_ && peer.grantAck->sequence == header->sequence;
    }

    void Check(Peer& peer, const BYTE* datagram, int size)
    {
        ++counts_.replies;
        const QSS_PACKET_HEADER* header = reinterpret_cast<const QSS_PACKET_HEADER*>(datagram);
        uint32_t status = reinterpret_cast<const QSS_STATUS_REPLY*>(datagram)->status;
        std::ostringstream got;
        got << "type " << header->packetType << " sequence " << header->sequence << " status " << status;
        bool ack = header->packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK && status == ZEL_K_QS_STATUS_SUCCESS;
        bool inOrder = !peer.expected.empty() && peer.expected.front().type == header->packetType &&
                       peer.expected.front().sequence == header->sequence;
        Expectation e;
        if (ack && peer.grantAck && peer.grantAck->sequence == header->sequence) {
            e = *peer.grantAck;
            peer.grantAck.reset();
        } else if (ack && !inOrder && header->sequence == peer.grantedSequence) {
            return;  // the saved ACK again, for a retransmission made while it waited
        } else if (peer.expected.empty()) {
            Diverge(Describe(peer) + ": unexpected reply " + got.str());
            return;
        } else {
            e = peer.expected.front();
            peer.expected.pop_front();
        }
        std::ostringstream want;
        want << "type " << e.type << " sequence " << e.sequence << " status " << e.status;
        if (QsCheckReply(datagram, size, e.type - 1, e.sequence) != QS_REPLY_OK || status != e.status) {
            Diverge(Describe(peer) + ": reply " + got.str() + ", the model says " + want.str());
            return;
        }
        if (e.query) {
            const QSS_QUERY_INSTANCE_REPLY* q = reinterpret_cast<const QSS_QUERY_INSTANCE_REPLY*>(datagram);
            if (q->instanceKnown != e.known || q->am1Online != e.online1 || q->am1Hold != e.hold1 ||
                q->am2Online != e.online2 || q->am2Hold != e.hold2) {
                std::ostringstream bits;
                bits << "known " << int(q->instanceKnown) << "/" << int(e.known) << " AM1 online "
                     << int(q->am1Online) << "/" << int(e.online1) << " hold " << int(q->am1Hold) << "/"
                     << int(e.hold1) << " AM2 online " << int(q->am2Online) << "/" << int(e.online2) << " hold "
                     << int(q->am2Hold) << "/" << int(e.hold2);
                Diverge(Describe(peer) + ": QUERY_INSTANCE_ACK differs (server/model): " + bits.str());
                return;
            }
        }
        if (header->packetType == ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK && status != 0) {
            const QSS_KEEPALIVE_REPLY* k = reinterpret_cast<const QSS_KEEPALIVE_REPLY*>(datagram);
            if (k->sinceLastKeepaliveAm1 != 0xFFFFFFFF || k->sinceLastKeepaliveAm2 != 0xFFFFFFFF) {
                Diverge(Describe(peer) + ": a refused keepalive carries figures");
            }
        }
        if (e.decidesShortVote) DecideShortVote(peer);
        if (e.late) return;
        Peer& partner = PeerOf(peer.pvm, 3 - peer.number);
        if (header->packetType == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK && status == ZEL_K_QS_STATUS_SUCCESS &&
            !peer.told) {
            if (partner.told) Diverge(Describe(peer) + " is granted the quorum while its partner holds a grant");
            peer.told = true;
            ++counts_.grants;
        }
        if (header->packetType == ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM_ACK) {
            peer.releaseInFlight = false;
            if (status == ZEL_K_QS_STATUS_SUCCESS && peer.told) {
                peer.told = false;
                ++counts_.releases;
            }
        }
        // The peer's own loss of the reply: it will resend its request.
        const QSS_PACKET_HEADER* asked = reinterpret_cast<const QSS_PACKET_HEADER*>(peer.request.data());
        if (!peer.answered && !peer.request.empty() && header->packetType == asked->packetType + 1 && header->sequence == asked->sequence) {
            if (Chance(6)) {
                ++counts_.repliesLost;
                peer.mustResend = true;
            } else {
                peer.answered = true;
            }
        }
    }

    // Reads every datagram that arrives within waitMs; true when any came.
    bool Receive(int waitMs)
    {
        std::vector<pollfd> fds;
        for (const Peer& peer : peers_) fds.push_back(pollfd{peer.sock, POLLIN, 0});
        if (poll(fds.data(), fds.size(), waitMs) <= 0) return false;
        for (size_t i = 0; i < fds.size() && !Failed(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            BYTE buffer[QSS_MAX_PACKET_SIZE + 1];
            int size;
            while ((size = recv(peers_[i].sock, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0 && !Failed()) {
                Check(peers_[i], buffer, size);
            }
        }
        return true;
    }

    // Sends the peer's new request and waits until it is answered, resending it
    // as an AM does; the server must answer within the bound.
    void Exchange(Peer& peer, std::vector<BYTE> request, bool killAfterSending = false)
    {
        const QSS_PACKET_HEADER* previous = reinterpret_cast<const QSS_PACKET_HEADER*>(peer.request.data());
        if (!peer.request.empty() && request != peer.request &&
            previous->packetType != ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE) {
            peer.earlier.push_back(peer.request);
            if (peer.earlier.size() > 8) peer.earlier.pop_front();
        }
        peer.request = std::move(request);
        peer.answered = false;
        Transmit(peer);
        if (killAfterSending) {
            ++counts_.killsInFlight;
            inFlightPvm_ = peer.pvm;
            Restart();
            inFlightPvm_ = -1;
            return;
        }
        auto giveUp = std::chrono::steady_clock::now() + kAnswerDeadline;
        while (AwaitsAnswer(peer) && !Failed()) {
            auto deadline = std::chrono::steady_clock::now() + kRetransmitAfter;
            while (AwaitsAnswer(peer) && !Failed() && std::chrono::steady_clock::now() < deadline) {
                Receive((int)kRetransmitAfter.count());
            }
            if (!AwaitsAnswer(peer) || Failed()) break;
            if (std::chrono::steady_clock::now() > giveUp) {
                Diverge(Describe(peer) + ": no answer within " + std::to_string(kAnswerDeadline.count()) + " s");
                return;
            }
            // The server's timer answers a lone short vote; a resend would race it.
            if (!ShortVotePending(peer)) Transmit(peer);
        }
        peer.answered = true;
    }

    // One copy of an earlier request of the peer, delivered now; its answer,
    // if any, comes while the peer does other things. Attaches are left out: an
    // attach that finds its AM offline is how a restarted peer starts afresh,
    // so the server takes a late one for such a restart.
    void DeliverLateCopy(Peer& peer)
    {
        if (peer.earlier.empty()) return;
        const std::vector<BYTE>& copy =
            peer.earlier[std::uniform_int_distribution<size_t>(0, peer.earlier.size() - 1)(rng_)];
        ++counts_.lateCopies;
        if (std::optional<Expectation> reply = Apply(peer, copy)) {
            reply->late = true;
            peer.expected.push_back(*reply);
        }
        QsSend(peer.sock, &server_, copy.data(), (int)copy.size());
        while (!Failed() && Receive(5)) {
        }
    }

    // ---- requests ----

    bool Chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
    template <typename T>
    T Pick(std::initializer_list<T> choices)
    {
        return choices.begin()[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(rng_)];
    }

    std::string AmId(const Peer& peer) const
    {
        return "am" + std::to_string(peer.number) + "-pvm" + std::to_string(peer.pvm);
    }

    template <typename Request>
    static std::vector<BYTE> Bytes(const Request& request)
    {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&request);
        return std::vector<BYTE>(bytes, bytes + sizeof(request));
    }

    std::vector<BYTE> Attach(Peer& peer)
    {
        QSS_ATTACH_INSTANCE_REQUEST request;
        DWORD timeout = kLongTimeout + std::uniform_int_distribution<DWORD>(0, 60000)(rng_);
        QsBuildAttachInstance(&request, peer.nextSequence++, pvms_[peer.pvm].bytes, peer.number, 1000, timeout,
                              &target_, AmId(peer).c_str());
        return Bytes(request);
    }

    std::vector<BYTE> AmRequest(Peer& peer, uint32_t type)
    {
        QSS_AM_REQUEST request;
        QsBuildAmRequest(&request, type, peer.nextSequence++, pvms_[peer.pvm].bytes, peer.number, &target_,
                         AmId(peer).c_str());
        return Bytes(request);
    }

    std::vector<BYTE> Query(Peer& peer)
    {
        QSS_QUERY_INSTANCE_REQUEST request;
        QsBuildQueryInstance(&request, peer.nextSequence++, pvms_[peer.pvm].bytes, &target_);
        return Bytes(request);
    }

    std::vector<BYTE> Acquire(Peer& peer, DWORD window)
    {
        ULONGLONG health = Pick<ULONGLONG>({0, 1, 5, 7, 0xFFFFFFFFull, 0x100000000ull, rng_()});
        QSS_ACQUIRE_QUORUM_REQUEST request;
        QsBuildAcquireQuorum(&request, peer.nextSequence++, pvms_[peer.pvm].bytes, peer.number, window, health,
                             &target_, AmId(peer).c_str());
        return Bytes(request);
    }

    // A request the frame refuses before it looks at any record, or drops.
    std::vector<BYTE> Refused(Peer& peer)
    {
        switch (std::uniform_int_distribution<int>(0, 2)(rng_)) {
        case 0: {
            QSS_AM_REQUEST request;
            QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_KEEPALIVE, peer.nextSequence++, pvms_[peer.pvm].bytes,
                             3, &target_, AmId(peer).c_str());
            return Bytes(request);
        }
        case 1: {
            QS_TARGET other = target_;
            other.serverId[0] = other.serverId[0] == '0' ? '1' : '0';
            QSS_AM_REQUEST request;
            QsBuildAmRequest(&request, ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM, peer.nextSequence++,
                             pvms_[peer.pvm].bytes, peer.number, &other, AmId(peer).c_str());
            return Bytes(request);
        }
        default: {
            std::vector<BYTE> request = Attach(peer);
            QsSealRequest(reinterpret_cast<QSS_PACKET_HEADER*>(request.data()), ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE,
                          (uint32_t)request.size(), peer.nextSequence - 1, QSS_PROTOCOL_REVISION | 1);
            return request;
        }
        }
    }

    bool GrantWaits(int pvm) { return PeerOf(pvm, 1).grantAck || PeerOf(pvm, 2).grantAck; }

    // Reads replies until no grant of the PVM (every PVM: -1) waits any more.
    void AwaitGrants(int pvm)
    {
        auto giveUp = std::chrono::steady_clock::now() + kAnswerDeadline;
        for (int p = pvm < 0 ? 0 : pvm; p < (pvm < 0 ? kPvmCount : pvm + 1) && !Failed(); ++p) {
            while (GrantWaits(p) && !Failed()) {
                if (std::chrono::steady_clock::now() > giveUp) Diverge("PVM " + std::to_string(p) + ": grant never answered");
                Receive((int)kRetransmitAfter.count());
            }
        }
    }

    std::string HoldFile() const { return std::string(getenv("DORVANE_STATE_DIR")) + "/hold.reg_flush"; }

    // Holds the flush, or ends a hold: by a kill, or by letting the grants through.
    void ToggleHold()
    {
        if (!flushHeld_) {
            FILE* file = fopen(HoldFile().c_str(), "w");
            ASSERT_NE(file, nullptr);
            fclose(file);
            flushHeld_ = true;
            ++counts_.holds;
            ContestWhileHeld();
        } else if (Chance(50)) {
            Restart();
        } else {
            unlink(HoldFile().c_str());
            flushHeld_ = false;
            AwaitGrants(-1);
        }
    }

    // A contest on a PVM whose AMs are both attached and free: its grant waits for the disk.
    void ContestWhileHeld()
    {
        for (int tries = 0; tries < kPvmCount && !Failed(); ++tries) {
            int pvm = std::uniform_int_distribution<int>(0, kPvmCount - 1)(rng_);
            const ModelRecord& record = records_[pvm];
            bool free = record.shortVoter == 0 && !GrantWaits(pvm);
            for (const ModelSlot& slot : record.am) free = free && slot.online && !slot.hold && !slot.voting;
            if (!free) continue;
            for (uint32_t n = 1; n <= 2; ++n) Exchange(PeerOf(pvm, n), Acquire(PeerOf(pvm, n), kLongWindow));
            return;
        }
    }

    void RandomRequest()
    {
        int pvm = std::uniform_int_distribution<int>(0, kPvmCount - 1)(rng_);
        // While the flush is held, its grants wait and their PVMs rest.
        if (flushHeld_ && GrantWaits(pvm)) return;
        AwaitGrants(pvm);
        Peer& peer = PeerOf(pvm, Pick<uint32_t>({1, 2}));
        bool kill = Chance(1) && Chance(25);
        int op = std::uniform_int_distribution<int>(0, 99)(rng_);
        if (op < 22) {
            Exchange(peer, Attach(peer), kill);
        } else if (op < 27) {
            Exchange(peer, AmRequest(peer, ZEL_K_QS_PACKET_TYPE_DETACH_INSTANCE), kill);
        } else if (op < 35) {
            Exchange(peer, AmRequest(peer, ZEL_K_QS_PACKET_TYPE_KEEPALIVE), kill);
        } else if (op < 41) {
            Exchange(peer, Query(peer), kill);
        } else if (op < 68) {
            DWORD window = flushHeld_ ? kLongWindow : Pick<DWORD>({0, 0, 1, 5, 20, kLongWindow, kLongWindow, kLongWindow});
            Exchange(peer, Acquire(peer, window), kill);
        } else if (op < 82) {
            Exchange(peer, AmRequest(peer, ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM), kill);
        } else if (op < 97) {
            if (increasingSequences_ && Chance(50)) {
                DeliverLateCopy(peer);
            } else if (!peer.request.empty()) {
                // The peer's last request once more, with its sequence: a late retransmission.
                Exchange(peer, peer.request, kill);
            }
        } else {
            Exchange(peer, Refused(peer), kill);
        }
    }

    // ---- kills, restores and the persisted holders ----

    // The AM number the registry names as the PVM's holder, kNoHolder when it has no subkey.
    uint32_t PersistedHolder(int pvm)
    {
        char subKey[QSS_PERSISTENT_SUBKEY_SIZE];
        EXPECT_TRUE(Qss_PvmIdToPersistentStateSubKey(pvms_[pvm].bytes, sizeof(subKey), subKey));
        std::string path = std::string(kPersistentStates) + "\\" + subKey;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return kNoHolder;
        DWORD holder = 99;
        DWORD size = sizeof(holder);
        RegQueryValueExA(key, "Quorum Holder", nullptr, nullptr, reinterpret_cast<BYTE*>(&holder), &size);
        DWORD last = 0;
        size = sizeof(last);
        bool complete = RegQueryValueExA(key, kLastPersistedValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&last),
                                         &size) == ERROR_SUCCESS;
        RegCloseKey(key);
        // A kill before a grant's values are all in the registry leaves its key
        // incomplete: the restarted server removes it. Only a PVM whose request
        // was in flight or whose grant waited for the disk may be left so, and
        // only while no peer of it was told it holds.
        if (!complete && (pvm == inFlightPvm_ || GrantWaits(pvm)) && !PeerOf(pvm, 1).told &&
            !PeerOf(pvm, 2).told) {
            ++counts_.incompleteKeysRemoved;
            ++incompleteKeys_;
            return kNoHolder;
        }
        if (!complete) Diverge("PVM " + std::to_string(pvm) + ": persisted key without " + kLastPersistedValue);
        if (holder > 1) Diverge("PVM " + std::to_string(pvm) + ": persisted holder value " + std::to_string(holder));
        return holder + 1;
    }

    DWORD PersistedSubkeyCount()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPersistentStates, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
        DWORD count = 0;
        char name[256];
        DWORD size = sizeof(name);
        while (RegEnumKeyExA(key, count, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            ++count;
            size = sizeof(name);
        }
        RegCloseKey(key);
        return count;
    }

    // Whether the server may have made peer the holder without the peer hearing of it.
    bool MayHold(const Peer& peer)
    {
        return peer.told || peer.releaseInFlight || Slot(peer).hold ||
               records_[peer.pvm].shortVoter == (int)peer.number;
    }

    // Kills the server, checks what it persisted against what the peers were
    // told, and starts it again on the same state folder.
    void Restart()
    {
        process_->Signal(SIGKILL);
        process_->Wait();
        CheckServerOutput();
        while (!Failed() && Receive(20)) {
        }
        ++counts_.restarts;
        for (int pvm = 0; pvm < kPvmCount; ++pvm) {
            if (GrantWaits(pvm)) {
                ++counts_.killsWithGrantsWaiting;
                break;
            }
        }
        unlink(HoldFile().c_str());
        flushHeld_ = false;
        incompleteKeys_ = 0;
        DWORD holders = 0;
        for (int pvm = 0; pvm < kPvmCount && !Failed(); ++pvm) {
            uint32_t holder = PersistedHolder(pvm);
            for (uint32_t n = 1; n <= 2; ++n) {
                Peer& peer = PeerOf(pvm, n);
                if (peer.told && !peer.releaseInFlight && holder != n) {
                    Diverge(Describe(peer) + " was granted the quorum, but the restarted server's holder is AM" +
                            std::to_string(holder));
                } else if (holder == n && !MayHold(peer)) {
                    Diverge(Describe(peer) + " is persisted as holder though it never was granted the quorum");
                } else if (holder != n && holder != kNoHolder && peer.told) {
                    Diverge(Describe(peer) + " holds a grant while its partner is persisted as holder");
                }
            }
            ModelRecord fresh;
            if (holder != kNoHolder) {
                fresh.exists = true;
                fresh.am[holder - 1].hold = true;
                ++holders;
            }
            records_[pvm] = fresh;
            for (uint32_t n = 1; n <= 2; ++n) {
                Peer& peer = PeerOf(pvm, n);
                // What the registry holds is what the restarted server grants.
                peer.told = holder == n;
                peer.releaseInFlight = false;
                peer.expected.clear();
                peer.answered = true;
                peer.mustResend = false;
                peer.grantAck.reset();
                peer.grantedSequence = 0;
            }
        }
        if (PersistedSubkeyCount() != holders + incompleteKeys_)
            Diverge("the registry holds subkeys of PVMs no peer asked for");
        counts_.restoredHolders += holders;
        if (Failed()) return;
        StartServer();
        if (PersistedSubkeyCount() != holders) Diverge("the restarted server kept an interrupted grant's key");
        ProbeRestoredHolder();
    }

    // The partner of a restored holder is refused once it has attached again.
    void ProbeRestoredHolder()
    {
        for (int tries = 0; tries < kPvmCount && !Failed(); ++tries) {
            int pvm = std::uniform_int_distribution<int>(0, kPvmCount - 1)(rng_);
            for (uint32_t n = 1; n <= 2; ++n) {
                if (!records_[pvm].am[n - 1].hold) continue;
                Peer& partner = PeerOf(pvm, 3 - n);
                Exchange(partner, Attach(partner));
                Exchange(partner, Acquire(partner, Pick<DWORD>({0, kLongWindow})));
                return;
            }
        }
    }

    bool increasingSequences_ = false;
    unsigned long long seed_ = 0;
    unsigned long long steps_ = 0;
    unsigned long long step_ = 0;
    int inFlightPvm_ = -1;
    DWORD incompleteKeys_ = 0;
    ScopedEnv faults_{"DORVANE_FAULTS", "reg_flush:hold"};
    bool flushHeld_ = false;
    std::mt19937_64 rng_;
    std::unique_ptr<DorvaneProcess> process_;
    QS_TARGET target_ = {};
    SOCKADDR_IN server_ = {};
    std::vector<PvmId> pvms_;
    std::vector<ModelRecord> records_;
    std::vector<Peer> peers_;
    Counts counts_;
    std::string failure_;

    // The random steps, then a last restart, and the counts.
    void Run();
};

void SplitBrainModelTest::Run()
{
    for (step_ = 0; step_ < steps_ && !Failed(); ++step_) {
        if (Chance(1) && Chance(25)) {
            Restart();
        } else if (flushHeld_ ? Chance(10) : Chance(1)) {
            ToggleHold();
        } else {
            RandomRequest();
        }
    }
    if (!Failed()) Restart();
    std::printf("model check, seed %llu: %llu steps, %lu transmissions (%lu dropped, %lu doubled), %lu replies "
                "checked (%lu lost by the peers), %lu grants (%lu contests), %lu releases, %lu restarts (%lu right "
                "after a send), %lu holders restored, %lu incomplete keys removed, %lu holds of the flush (%lu kills "
                "with grants waiting)\n",
                seed_, step_, counts_.transmissions, counts_.dropped, counts_.doubled, counts_.replies,
                counts_.repliesLost, counts_.grants, counts_.contests, counts_.releases, counts_.restarts,
                counts_.killsInFlight, counts_.restoredHolders, counts_.incompleteKeysRemoved, counts_.holds,
                counts_.killsWithGrantsWaiting);
    if (increasingSequences_) {
        std::printf("%lu late copies of earlier requests, %lu of them dropped as stale\n", counts_.lateCopies,
                    counts_.staleDropped);
        EXPECT_GT(counts_.staleDropped, 0u);
    }
    EXPECT_GT(counts_.grants, 0u);
    EXPECT_GT(counts_.restarts, 1u);
}

TEST_F(SplitBrainModelTest, NoTwoHoldersAcrossLossesDuplicatesAndKills) { Run(); }

class IncreasingSequencesModelTest : public SplitBrainModelTest {
protected:
    IncreasingSequencesModelTest() { increasingSequences_ = true; }
};

TEST_F(IncreasingSequencesModelTest, NoTwoHoldersWithLateCopiesOfEarlierRequests) { Run(); }

}  // namespace
}  // namespace dvtest
