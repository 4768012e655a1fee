// The baseline of the server's design on this machine: a UDP echo server with
// the server thread's loop shape (one select over the receive socket and the
// stop wake-up, one recvfrom, one sendto per datagram, one thread, the same
// receive buffer), through the same platform layer, answering each datagram
// with a 68-byte reply made from its header. It stops by itself after the
// given number of seconds.
//
// Usage: echo_baseline PORT [SECONDS]   (binds 127.0.0.1:PORT; default 3600 s)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Qss/net/packet.h"
#include "Qss/net/socket_set.h"
#include "platform/win32.h"

namespace {

const DWORD kReplyLength = 68; // a KEEPALIVE_ACK

void Reply(SOCKET sock, const BYTE* request, int received, const SOCKADDR_IN* source)
{
    BYTE reply[kReplyLength] = {};
    if (received >= (int)QSS_PACKET_HEADER_SIZE) std::memcpy(reply, request, QSS_PACKET_HEADER_SIZE);
    QSS_PACKET_HEADER* header = (QSS_PACKET_HEADER*)reply;
    header->length = kReplyLength;
    header->packetType += 1;
    header->srcComponentId = QSS_COMPONENT_ID_QS;
    header->dstComponentId = QSS_COMPONENT_ID_AM;
    sendto(sock, (const char*)reply, (int)kReplyLength, 0, (const SOCKADDR*)source, sizeof(*source));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: echo_baseline PORT [SECONDS]\n");
        return 2;
    }
    WORD port = (WORD)std::strtoul(argv[1], NULL, 10);
    DWORD seconds = argc == 3 ? (DWORD)std::strtoul(argv[2], NULL, 10) : 3600;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The receive buffer of the server's own sockets.
    int bufferSize = QSS_RECEIVE_BUFFER_SIZE;
    if (sock != INVALID_SOCKET)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, (const char*)&bufferSize, (int)sizeof(bufferSize));
    if (sock == INVALID_SOCKET || bind(sock, (const SOCKADDR*)&local, sizeof(local)) != 0) {
        std::fprintf(stderr, "echo_baseline: cannot bind 127.0.0.1:%u (error %d)\n", (unsigned)port,
                     WSAGetLastError());
        return 1;
    }
    DV_WAKEUP* wakeup = DvWakeupCreate();
    if (!wakeup) return 1;
    std::printf("echo_baseline: 127.0.0.1:%u\n", (unsigned)port);
    std::fflush(stdout);

    const DWORD interval = 2000;
    const DWORD start = GetTickCount();
    BYTE buffer[QSS_MAX_PACKET_SIZE];
    SOCKADDR_IN source;
    while (GetTickCount() - start < seconds * 1000) {
        fd_set readSet;
        FD_ZERO(&readSet);
        DvSelectSetAdd(&readSet, sock);
        DvWakeupAddToSet(wakeup, &readSet);
        struct timeval timeout;
        timeout.tv_sec = (long)(interval / 1000);
        timeout.tv_usec = (long)((interval % 1000) * 1000);
        int ready = select(0, &readSet, NULL, NULL, &timeout);
        if (ready == SOCKET_ERROR) return 1;
        if (ready == 0 || !DvSelectSetHas(&readSet, sock)) continue;
        std::memset(buffer, 0, sizeof(buffer));
        int sourceSize = sizeof(source);
        int received = recvfrom(sock, (char*)buffer, (int)sizeof(buffer), 0, (SOCKADDR*)&source, &sourceSize);
        if (received == SOCKET_ERROR) continue;
        Reply(sock, buffer, received, &source);
    }
    DvWakeupClose(wakeup);
    closesocket(sock);
    WSACleanup();
    return 0;
}
