// The wake-up on Windows: a loopback datagram socket
// that the raising thread sends one byte to.
#include <atomic>
#include <new>

#include "platform/win32.h"

struct DV_WAKEUP {
    SOCKET sock;
    SOCKADDR_IN self;
    std::atomic<bool> raised;
};

DV_WAKEUP* DvWakeupCreate(void)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return NULL;
    SOCKADDR_IN self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(self);
    if (bind(s, (const SOCKADDR*)&self, sizeof(self)) != 0 || getsockname(s, (SOCKADDR*)&self, &size) != 0) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return NULL;
    }
    DV_WAKEUP* wakeup = new (std::nothrow) DV_WAKEUP;
    if (!wakeup) {
        closesocket(s);
        WSASetLastError(WSAENOBUFS);
        return NULL;
    }
    wakeup->sock = s;
    wakeup->self = self;
    wakeup->raised.store(false);
    return wakeup;
}

void DvWakeupClose(DV_WAKEUP* wakeup)
{
    if (!wakeup) return;
    closesocket(wakeup->sock);
    delete wakeup;
}

void DvWakeupRaise(DV_WAKEUP* wakeup)
{
    if (wakeup->raised.exchange(true)) return;
    const char byte = 1;
    sendto(wakeup->sock, &byte, 1, 0, (const SOCKADDR*)&wakeup->self, sizeof(wakeup->self));
}

BOOL DvWakeupIsRaised(DV_WAKEUP* wakeup) { return wakeup->raised.load() ? TRUE : FALSE; }

BOOL DvWakeupAddToSet(DV_WAKEUP* wakeup, fd_set* set)
{
    if (set->fd_count >= FD_SETSIZE) return FALSE;
    FD_SET(wakeup->sock, set);
    return TRUE;
}

void DvWakeupSleep(DV_WAKEUP* wakeup, DWORD milliseconds)
{
    if (wakeup->raised.load()) return;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(wakeup->sock, &set);
    struct timeval timeout = {(long)(milliseconds / 1000), (long)((milliseconds % 1000) * 1000)};
    if (select(0, &set, NULL, NULL, &timeout) == SOCKET_ERROR) Sleep(milliseconds);
}
