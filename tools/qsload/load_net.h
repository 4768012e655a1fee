// The load generator's side of the wire: a bounded set of local UDP sockets,
// each carrying several simulated peers, and the identities of those peers.
//
// Peer p is AM (p % 2) + 1 of PVM p / 2 and always uses socket p % socketCount,
// so both AMs of a PVM use different sockets and a peer's address never changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

#include "Qss/net/packet.h"

struct LoadNet {
    int epollFd = -1;
    std::vector<int> sockets;
    sockaddr_in server = {};
    uint64_t sendErrors = 0;
};

// Opens socketCount non-blocking sockets on 127.0.0.1 aimed at server (which
// must be a 127.0.0.0/8 address), raising the descriptor limit when needed.
bool LoadNetOpen(LoadNet* net, int socketCount, const sockaddr_in& server);
void LoadNetClose(LoadNet* net);

// Sends one datagram from the peer's socket to the server; a failure is counted.
void LoadSend(LoadNet* net, uint32_t peer, const void* datagram, size_t length);

// A received datagram that is at least a header long.
struct LoadReply {
    const QSS_PACKET_HEADER* header;
    size_t length;
    uint32_t status; // the body's first word, or 0 when there is none
};

// Waits up to waitMs for datagrams and hands each to onReply with context.
// Returns the number handled.
typedef void LoadReplyHandler(void* context, const LoadReply& reply);
int LoadPoll(LoadNet* net, int waitMs, LoadReplyHandler* onReply, void* context);

inline uint32_t LoadPeerPvm(uint32_t peer) { return peer / 2; }
inline uint32_t LoadPeerAm(uint32_t peer) { return peer % 2 + 1; }
// The PVM ID of a simulated PVM: "QSLD", then the number, big-endian.
void LoadPvmId(uint32_t pvm, uint8_t* pvmId);
void LoadAmId(uint32_t peer, char* amId, size_t size);

// Monotonic nanoseconds.
uint64_t LoadNowNs();

// "a.b.c.d:port" with a 127.0.0.0/8 address; false otherwise.
bool LoadParseLoopback(const char* text, sockaddr_in* address);
