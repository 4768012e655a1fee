#include "platform/posix/signal_relay.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace dvsignal {
namespace {

const int kRoutable[] = {SIGINT, SIGQUIT, SIGTERM, SIGUSR1};

std::mutex gStartMutex;
bool gStarted = false;
int gPipe[2] = {-1, -1};
std::atomic<SignalCallback> gCallbacks[NSIG];

bool Routable(int signo)
{
    for (int s : kRoutable) {
        if (s == signo) return true;
    }
    return false;
}

sigset_t RoutableSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : kRoutable) sigaddset(&set, s);
    return set;
}

// Only async-signal-safe work here: one byte into the pipe.
void OnSignal(int signo)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = write(gPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void* RelayThread(void*)
{
    sigset_t set = RoutableSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    unsigned char bytes[64];
    for (;;) {
        ssize_t got = read(gPipe[0], bytes, sizeof bytes);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return nullptr;
        }
        for (ssize_t i = 0; i < got; ++i) {
            SignalCallback callback = gCallbacks[bytes[i]].load();
            if (callback) callback(bytes[i]);
        }
    }
}

int StartRelay()
{
    std::lock_guard<std::mutex> lock(gStartMutex);
    if (gStarted) return 0;
    if (pipe2(gPipe, O_CLOEXEC) != 0) return errno;
    // A full pipe drops the byte rather than block the signalled thread.
    fcntl(gPipe[1], F_SETFL, O_NONBLOCK);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int err = pthread_create(&thread, &attr, RelayThread, nullptr);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        close(gPipe[0]);
        close(gPipe[1]);
        return err;
    }
    gStarted = true;
    return 0;
}

}  // namespace

int Route(int signo, SignalCallback callback)
{
    if (!Routable(signo) || !callback) return EINVAL;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int err = StartRelay();
    if (err != 0) return err;
    gCallbacks[signo].store(callback);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    // No SA_RESTART: the relay's read must return, so that a runtime that
    // defers handlers to its next call (ThreadSanitizer) runs ours. Only the
    // relay thread takes these signals, so no other call is interrupted.
    action.sa_flags = 0;
    // No handler interrupts another, so the bytes keep the order of delivery.
    action.sa_mask = RoutableSet();
    if (sigaction(signo, &action, nullptr) != 0) return errno;
    return 0;
}

void Unroute(int signo)
{
    if (!Routable(signo)) return;
    signal(signo, SIG_DFL);
    gCallbacks[signo].store(nullptr);
}

void RaiseDefault(int signo)
{
    Unroute(signo);
    raise(signo);
}

}  // namespace dvsignal
