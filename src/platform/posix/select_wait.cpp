// The wake-up over a non-blocking pipe.
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/win32.h"

struct DV_WAKEUP {
    int readFd;
    int writeFd;
    std::atomic<bool> raised;
};

DV_WAKEUP* DvWakeupCreate(void)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        WSASetLastError(errno == EMFILE || errno == ENFILE ? WSAEMFILE : WSAENOBUFS);
        return nullptr;
    }
    DV_WAKEUP* wakeup = new DV_WAKEUP;
    wakeup->readFd = fds[0];
    wakeup->writeFd = fds[1];
    wakeup->raised.store(false);
    return wakeup;
}

void DvWakeupClose(DV_WAKEUP* wakeup)
{
    if (!wakeup) return;
    close(wakeup->readFd);
    close(wakeup->writeFd);
    delete wakeup;
}

void DvWakeupRaise(DV_WAKEUP* wakeup)
{
    if (wakeup->raised.exchange(true)) return;
    // The pipe stays readable from now on: one byte is enough.
    const char byte = 1;
    ssize_t written;
    do {
        written = write(wakeup->writeFd, &byte, 1);
    } while (written < 0 && errno == EINTR);
}

BOOL DvWakeupIsRaised(DV_WAKEUP* wakeup) { return wakeup->raised.load() ? TRUE : FALSE; }

BOOL DvWakeupAddToSet(DV_WAKEUP* wakeup, fd_set* set)
{
    if (set->fd_count >= FD_SETSIZE) return FALSE;
    FD_SET(wakeup->readFd, set);
    return TRUE;
}

void DvWakeupSleep(DV_WAKEUP* wakeup, DWORD milliseconds)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long elapsedNs = (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
        long long leftNs = milliseconds * 1000000LL - elapsedNs;
        if (leftNs <= 0 || wakeup->raised.load()) return;
        // Rounded up, so the sleep never ends early.
        long long left = (leftNs + 999999) / 1000000;
        struct pollfd pfd = {wakeup->readFd, POLLIN, 0};
        if (poll(&pfd, 1, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left)) > 0) return;
    }
}
