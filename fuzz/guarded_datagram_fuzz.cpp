// The datagram path of a server that listens only to AllowedPeers and drops
// stale requests (RequireIncreasingSequences): the same input format as the
// datagram harness (fuzz/datagram_fuzz.cpp), whose corpus seeds this one, but
// the third peer sends from an address outside the list.
//
// An input is a sequence of datagrams, each as
//   flags (1 byte)  bits 0-1: the sending peer (AM1, AM2 or the stranger);
//                   bit 7: fix length and checksum
//   size (2 bytes, little-endian), then that many bytes (cut at the input's end).
// What must hold: never two holders of a PVM; the stranger is never answered,
// every datagram of it is counted as refused, and none changes a record.
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "Qss/config/parameters.h"
#include "Qss/diag/diag.h"
#include "Qss/net/peer_admission.h"
#include "Qss/net/server_thread.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "fuzz_support.h"
#include "seed_requests.h"

namespace {

const char* const kPeerAddresses[] = {"127.0.0.1", "127.0.0.1", "127.0.0.3"};
const int kStranger = 2;
const char kAllowedPeers[] = "127.0.0.1\0" "10.0.0.0/8\0";

struct Server {
    int receive;
    int peer[3];
    SOCKADDR_IN peerAddress[3];
};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "guarded datagram harness: %s\n", what);
    std::abort();
}

int Bind(const char* address, SOCKADDR_IN* bound)
{
    int sock = dvfuzz::BindUdp(address, bound);
    if (sock < 0) Fail("cannot bind a loopback socket");
    return sock;
}

// The start, with the list and the rule in force.
Server& Started()
{
    static Server server = [] {
        if (!dvfuzz::InitializeServer()) Fail("the server does not initialize");
        QSS_PEER_FILTER filter;
        char bad[QSS_PEER_ENTRY_TEXT_SIZE];
        if (!qssBuildPeerFilter(kAllowedPeers, sizeof(kAllowedPeers), &filter, bad, sizeof(bad)))
            Fail("the list does not parse");
        qssSetAllowedPeers(&filter);
        qssRequireIncreasingSequences = 1;
        Server s;
        SOCKADDR_IN ignored;
        s.receive = Bind("127.0.0.1", &ignored);
        for (int i = 0; i < 3; ++i) s.peer[i] = Bind(kPeerAddresses[i], &s.peerAddress[i]);
        return s;
    }();
    return server;
}

void Drain(const Server& s)
{
    BYTE reply[QSS_MAX_PACKET_SIZE + 1];
    for (int i = 0; i < 3; ++i) {
        while (recv(s.peer[i], reply, sizeof(reply), MSG_DONTWAIT) >= 0) {
            if (i == kStranger) Fail("the stranger was answered");
        }
    }
}

// The records' flags, summed up: a stranger's datagram must leave them as they are.
unsigned long long Fingerprint()
{
    EnterCriticalSection(&qssInstanceLock);
    unsigned long long sum = qssInstanceCount;
    for (const QSS_INSTANCE* record = qssInstanceList; record; record = record->pNext) {
        if (record->am[0].bHold && record->am[1].bHold) Fail("both AMs of a PVM hold the quorum");
        for (const QSS_AM_INFO& am : record->am) {
            sum = sum * 31 + am.bOnline * 4 + am.bHold * 2 + am.bVoting + am.acceptedSequence;
        }
    }
    LeaveCriticalSection(&qssInstanceLock);
    return sum;
}

void Deliver(const Server& s, int peer, const BYTE* bytes, size_t size, bool seal)
{
    BYTE buffer[QSS_MAX_PACKET_SIZE];
    if (!dvfuzz::FillReceiveBuffer(buffer, bytes, size, seal)) return;
    SOCKADDR_IN source = s.peerAddress[peer];
    // Held throughout, so that no timer decides a vote in between.
    EnterCriticalSection(&qssInstanceLock);
    unsigned long long before = Fingerprint();
    DWORD refused = qssGuardStats.refusedDatagrams;
    qssProcessDatagram(buffer, (int)size, &source, (SOCKET)s.receive);
    if (peer == kStranger && (qssGuardStats.refusedDatagrams != refused + 1 || Fingerprint() != before))
        Fail("a stranger's datagram was heard");
    LeaveCriticalSection(&qssInstanceLock);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Server& s = Started();
    for (const dvfuzz::SeedRequest& seed : dvfuzz::SeedRequests()) {
        Deliver(s, seed.peer, seed.bytes.data(), seed.bytes.size(), false);
    }
    dvfuzz::ForEachDatagram(data, size, [&](uint8_t flags, const uint8_t* bytes, size_t length) {
        Deliver(s, (flags & 3) % 3, bytes, length, (flags & 0x80) != 0);
    });
    if (!dvfuzz::ResetServer([&] {
            Drain(s);
            Fingerprint();
        }))
        Fail("the timer queue cannot be renewed");
    return 0;
}
