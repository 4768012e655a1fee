#include "load_net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kBatch = 64;
const int kReceiveBuffer = 4 * 1024 * 1024;

bool RaiseDescriptorLimit(rlim_t needed)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= needed) return true;
    if (limit.rlim_max < needed) return false;
    limit.rlim_cur = needed;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

bool LoadParseLoopback(const char* text, sockaddr_in* address)
{
    char host[32];
    unsigned port;
    if (std::sscanf(text, "%31[0-9.]:%u", host, &port) != 2 || port == 0 || port > 65535) return false;
    *address = {};
    address->sin_family = AF_INET;
    address->sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host, &address->sin_addr) != 1) return false;
    // Only this machine's loopback network is ever a target.
    return (ntohl(address->sin_addr.s_addr) >> 24) == 127;
}

bool LoadNetOpen(LoadNet* net, int socketCount, const sockaddr_in& server)
{
    if ((ntohl(server.sin_addr.s_addr) >> 24) != 127) return false;
    if (!RaiseDescriptorLimit((rlim_t)socketCount + 64)) {
        std::fprintf(stderr, "qsload: cannot open %d sockets (descriptor limit)\n", socketCount);
        return false;
    }
    net->server = server;
    net->epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (net->epollFd < 0) return false;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < socketCount; ++i) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        net->sockets.push_back(s);
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
        if (bind(s, (const sockaddr*)&local, sizeof local) != 0) return false;
        epoll_event event = {};
        event.events = EPOLLIN;
        event.data.u32 = (uint32_t)i;
        if (epoll_ctl(net->epollFd, EPOLL_CTL_ADD, s, &event) != 0) return false;
    }
    return true;
}

void LoadNetClose(LoadNet* net)
{
    for (int s : net->sockets) close(s);
    net->sockets.clear();
    if (net->epollFd >= 0) close(net->epollFd);
    net->epollFd = -1;
}

void LoadSend(LoadNet* net, uint32_t peer, const void* datagram, size_t length)
{
    int s = net->sockets[peer % net->sockets.size()];
    if (sendto(s, datagram, length, 0, (const sockaddr*)&net->server, sizeof net->server) != (ssize_t)length)
        ++net->sendErrors;
}

int LoadPoll(LoadNet* net, int waitMs, LoadReplyHandler* onReply, void* context)
{
    epoll_event events[16];
    int ready = epoll_wait(net->epollFd, events, 16, waitMs);
    int handled = 0;
    static uint8_t buffers[kBatch][QSS_MAX_PACKET_SIZE + 1];
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    for (int e = 0; e < ready; ++e) {
        int s = net->sockets[events[e].data.u32];
        for (;;) {
            for (int i = 0; i < kBatch; ++i) {
                vectors[i] = {buffers[i], sizeof buffers[i]};
                messages[i] = {};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            int n = recvmmsg(s, messages, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0) break;
            for (int i = 0; i < n; ++i) {
                size_t length = messages[i].msg_len;
                if (length < QSS_PACKET_HEADER_SIZE) continue;
                LoadReply reply = {(const QSS_PACKET_HEADER*)buffers[i], length, 0};
                if (length >= QSS_PACKET_HEADER_SIZE + 4)
                    std::memcpy(&reply.status, buffers[i] + QSS_PACKET_HEADER_SIZE, 4);
                onReply(context, reply);
                ++handled;
            }
            if (n < kBatch) break;
        }
    }
    return handled;
}

void LoadPvmId(uint32_t pvm, uint8_t* pvmId)
{
    std::memset(pvmId, 0, QSS_PVM_ID_SIZE);
    std::memcpy(pvmId, "QSLD", 4);
    for (int i = 0; i < 4; ++i) pvmId[15 - i] = (uint8_t)(pvm >> (8 * i));
}

void LoadAmId(uint32_t peer, char* amId, size_t size)
{
    std::snprintf(amId, size, "qsload-pvm%u-am%u", LoadPeerPvm(peer), LoadPeerAm(peer));
}

uint64_t LoadNowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}
