// An AM talking to the in-process server over loopback UDP: builds instance
// requests, sends them and waits for the one reply.
#pragma once

#include <cstring>

#include "Qss/net/packet.h"
#include "platform/win32.h"
#include "qsinstance.h"

namespace dvtest {

struct PvmId {
    BYTE bytes[QSS_PVM_ID_SIZE];
};

// A PVM ID whose bytes all derive from n.
PvmId MakePvmId(unsigned n);

// A reply as received; size 0 when none came within the wait.
struct Reply {
    int size = 0;
    alignas(8) BYTE bytes[QSS_MAX_PACKET_SIZE + 1] = {};

    const QSS_PACKET_HEADER& header() const { return *reinterpret_cast<const QSS_PACKET_HEADER*>(bytes); }
    uint32_t status() const { return reinterpret_cast<const QSS_STATUS_REPLY*>(bytes)->status; }
    const QSS_KEEPALIVE_REPLY& keepalive() const { return *reinterpret_cast<const QSS_KEEPALIVE_REPLY*>(bytes); }
    const QSS_QUERY_INSTANCE_REPLY& query() const { return *reinterpret_cast<const QSS_QUERY_INSTANCE_REPLY*>(bytes); }
    bool operator==(const Reply& other) const { return size == other.size && memcmp(bytes, other.bytes, size) == 0; }
};

class AmClient {
public:
    // A socket on localAddress talking to the server at 127.0.0.1:port, naming it by target.
    AmClient(WORD port, const QS_TARGET& target, const char* localAddress = "127.0.0.1");
    ~AmClient();
    AmClient(const AmClient&) = delete;
    AmClient& operator=(const AmClient&) = delete;

    Reply Attach(const PvmId& pvm, uint32_t amNumber, uint32_t instanceTimeout, ULONGLONG sequence,
                 const char* amId = "am-identity");
    Reply Detach(const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, const char* amId = "am-identity");
    Reply Keepalive(const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, const char* amId = "am-identity",
                    DWORD waitMs = 2000);
    Reply Query(const PvmId& pvm, ULONGLONG sequence);
    // activeInstanceCount from QUERY_SERVICE_ACK.
    uint32_t ActiveInstanceCount();

    // ACQUIRE_QUORUM, sent without waiting: its answer may come only with the decision.
    void SendAcquire(const PvmId& pvm, uint32_t amNumber, uint32_t quorumTimeout, ULONGLONG health,
                     ULONGLONG sequence, const char* amId = "am-identity");
    Reply Release(const PvmId& pvm, uint32_t amNumber, ULONGLONG sequence, const char* amId = "am-identity");

    // Any datagram: sends it and waits (waitMs) for one reply.
    Reply Exchange(const void* datagram, int length, DWORD waitMs = 2000);
    void Send(const void* datagram, int length);
    // The next datagram that arrives within waitMs.
    Reply Receive(DWORD waitMs = 2000);
    // The local address of the socket, as the server sees it.
    SOCKADDR_IN local() const;

    QS_TARGET target;

private:
    SOCKET sock_;
    SOCKADDR_IN server_;
};

// The server's identity as the in-process test server has it.
QS_TARGET ServerTarget();

}  // namespace dvtest
