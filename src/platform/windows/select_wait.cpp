// The wake-up on Windows: a pair of loopback datagram sockets connected to
// each other. The raising thread sends one byte from one to the other; the
// waiter selects on the receiving one, which, connected, takes datagrams from
// its own peer only, so no other process can wake or busy the waiter.
#include <atomic>
#include <new>

#include "platform/win32.h"

struct DV_WAKEUP {
    SOCKET receiver;
    SOCKET sender;
    std::atomic<bool> raised;
};

namespace {

// A datagram socket on 127.0.0.1 with an ephemeral port, which no other
// socket may take over (SO_EXCLUSIVEADDRUSE) to send from the peer's address.
SOCKET BoundLoopbackSocket(SOCKADDR_IN* address)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    BOOL exclusive = TRUE;
    // Refused by some Winsock implementations; the connected pair still filters.
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&exclusive, sizeof(exclusive));
    SOCKADDR_IN self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(self);
    if (bind(s, (const SOCKADDR*)&self, sizeof(self)) != 0 || getsockname(s, (SOCKADDR*)&self, &size) != 0) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    *address = self;
    return s;
}

// Empties the receiver of what reached it before it was connected.
void Drain(SOCKET receiver)
{
    u_long nonBlocking = 1;
    if (ioctlsocket(receiver, FIONBIO, &nonBlocking) != 0) return;
    char byte;
    while (recv(receiver, &byte, 1, 0) != SOCKET_ERROR || WSAGetLastError() == WSAEMSGSIZE) {
    }
}

}  // namespace

DV_WAKEUP* DvWakeupCreate(void)
{
    SOCKADDR_IN receiverAddress;
    SOCKADDR_IN senderAddress;
    SOCKET receiver = BoundLoopbackSocket(&receiverAddress);
    if (receiver == INVALID_SOCKET) return NULL;
    SOCKET sender = BoundLoopbackSocket(&senderAddress);
    if (sender == INVALID_SOCKET ||
        connect(receiver, (const SOCKADDR*)&senderAddress, sizeof(senderAddress)) != 0 ||
        connect(sender, (const SOCKADDR*)&receiverAddress, sizeof(receiverAddress)) != 0) {
        int error = WSAGetLastError();
        if (sender != INVALID_SOCKET) closesocket(sender);
        closesocket(receiver);
        WSASetLastError(error);
        return NULL;
    }
    Drain(receiver);
    DV_WAKEUP* wakeup = new (std::nothrow) DV_WAKEUP;
    if (!wakeup) {
        closesocket(sender);
        closesocket(receiver);
        WSASetLastError(WSAENOBUFS);
        return NULL;
    }
    wakeup->receiver = receiver;
    wakeup->sender = sender;
    wakeup->raised.store(false);
    return wakeup;
}

void DvWakeupClose(DV_WAKEUP* wakeup)
{
    if (!wakeup) return;
    closesocket(wakeup->sender);
    closesocket(wakeup->receiver);
    delete wakeup;
}

void DvWakeupRaise(DV_WAKEUP* wakeup)
{
    if (wakeup->raised.exchange(true)) return;
    const char byte = 1;
    send(wakeup->sender, &byte, 1, 0);
}

BOOL DvWakeupIsRaised(DV_WAKEUP* wakeup) { return wakeup->raised.load() ? TRUE : FALSE; }

BOOL DvWakeupAddToSet(DV_WAKEUP* wakeup, fd_set* set)
{
    if (set->fd_count >= FD_SETSIZE) return FALSE;
    FD_SET(wakeup->receiver, set);
    return TRUE;
}

void DvWakeupSleep(DV_WAKEUP* wakeup, DWORD milliseconds)
{
    if (wakeup->raised.load()) return;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(wakeup->receiver, &set);
    struct timeval timeout = {(long)(milliseconds / 1000), (long)((milliseconds % 1000) * 1000)};
    if (select(0, &set, NULL, NULL, &timeout) == SOCKET_ERROR) Sleep(milliseconds);
}
